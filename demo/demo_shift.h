// A production shift for the demo's line manager's page: three stations
// over an 8-hour shift (06:00-14:00 at +01:00) with a break, three work
// orders, failures of every kind and their reworks, current units, a line
// that stops itself on a dead fixture slot and a station that loses its
// power midway. The demo's own runs last seconds on a handful of simulated
// serials, which leaves the page's figures and charts empty; this fills
// them as a real line would.
//
// Every line goes through the station's own writer (StnReport over a file
// of this folder), so the files are chained and the recovered unit is the
// writer's. Deterministic: the same bytes every time. Portable; one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "stn_report.h"

// The report file through C stdio, created when missing. The shift never
// leaves a torn line, so it never needs to cut or set aside: those fail.
class DemoFileStore : public StnReportStore {
public:
    explicit DemoFileStore(const std::string &path);
    ~DemoFileStore() override;
    DemoFileStore(const DemoFileStore &) = delete;
    DemoFileStore &operator=(const DemoFileStore &) = delete;

    bool is_open() const { return file_ != nullptr; }
    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override;
    bool append(const std::string &bytes) override;
    bool flush() override;
    bool truncate(std::uint64_t) override { return false; }
    bool set_aside(std::uint64_t) override { return false; }

private:
    std::FILE *file_ = nullptr;
};

// Writes the shift's reports into folder (which must exist), one per
// station: shift-QVM-ST01.jsonl, ... (any file of that name is replaced).
// *paths: the files, in station order. False, with *error, when a file
// cannot be written.
bool demo_write_shift(const std::string &folder, std::vector<std::string> *paths,
                      std::string *error);
