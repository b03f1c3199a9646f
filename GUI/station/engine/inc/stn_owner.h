// One owner of the devices (Windows builds only): while a station runs on
// the machine it holds a named section that carries its report's path;
// every other program that would open devices looks for it first. The
// section dies with its last handle, so a station that ends in any way
// (killed included) leaves no stale claim.
//
// Threads: any; one object per thread.
#pragma once

#include <windows.h>

#include <string>

class StnOwner {
public:
    StnOwner() = default;
    ~StnOwner();  // gives the claim up
    StnOwner(const StnOwner &) = delete;
    StnOwner &operator=(const StnOwner &) = delete;

    // Claims the devices for a station that writes report (UTF-8).
    // Returns true   claimed, until this object dies
    //         false  another station holds them; *holder: its report
    bool claim(const std::string &report, std::string *holder);

    // Whether a station holds the devices now; *holder: its report.
    static bool held(std::string *holder);

private:
    HANDLE section_ = nullptr;
};
