// qvm_cli's side of the factory's database and of the MES's check-outs:
// the station's deliveries (a thread each, see stn_deliver.h), `ship` and
// `report --verify --database`. The database and the files come from CliIo, so that native
// tests run all of it against a stand-in.
//
// Threads: main thread, but CliDelivery::may_take_units, which the engine
// asks on the engine thread (the same thread in qvm_cli).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli_args.h"
#include "cli_run.h"
#include "stn_deliver.h"
#include "stn_mes.h"

// The connection string a command uses: --database, else the machine's
// default (empty: none).
std::string cli_database(const CliArgs &args, CliIo &io);

// One delivery of the station's report: to the database ("database: ..."
// and the JSON event "database") or the MES's check-outs ("mes: ..." and
// the event "mes_checkout"); the same but for how each starts.
class CliDelivery {
public:
    // name: "database" or "mes"; both read the report as far as flushed.
    explicit CliDelivery(const char *name, std::shared_ptr<StnFlushed> flushed)
        : name_(name), flushed_(std::move(flushed)) {}
    // Starts delivering args.report when a database is configured.
    // Returns false when the station must not start (--database-required
    // and the database cannot take lines); the error is printed.
    bool start(const CliArgs &args, CliIo &io);
    // Starts the check-outs of args.report's unit lines to the MES (mes:
    // checked already). Never stops the station: a problem is printed.
    void start_mes(const CliArgs &args, const StnMesConfig &mes, CliIo &io);
    // For the engine's StnConfig::flushed, before it opens the report:
    // delivery reads no further than the engine has flushed.
    std::shared_ptr<StnFlushed> flushed() const { return flushed_; }
    bool active() const { return delivery_ != nullptr; }
    void wake();
    bool may_take_units();
    // Prints a line (a JSON "database" event with --json) when the state
    // changed since the last call.
    void show(const CliArgs &args, CliIo &io);
    // Gives delivery at most ms more at the end, then says where it is.
    void finish(unsigned ms, const CliArgs &args, CliIo &io);

private:
    std::string words(const StnDeliverStatus &s) const;
    const char *json_type() const {
        return std::string(name_) == "mes" ? "mes_checkout" : "database";
    }

    const char *name_;
    std::shared_ptr<StnFlushed> flushed_;
    std::unique_ptr<StnDelivery> delivery_;
    std::uint64_t shown_ = ~0ull;
    bool held_said_ = false;
};

// The "database" event of a status (type: another event's name).
std::string cli_json_database(const StnDeliverStatus &s, const char *type = "database");

// Gives the deliveries one short bounded time at the end, side by side (3 s;
// 1 s when aborted: a second Ctrl+C), then each says where it is.
void cli_finish_deliveries(const std::vector<CliDelivery *> &all, bool aborted,
                           const CliArgs &args, CliIo &io);

// qvm_cli ship FILE... --database CS.
int cli_ship_command(const CliArgs &args, CliIo &io);
// qvm_cli report --verify FILE... --database CS.
int cli_verify_db_command(const CliArgs &args, CliIo &io);
