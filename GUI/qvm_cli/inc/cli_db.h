// qvm_cli's side of the factory's database: the station's delivery (a
// thread of its own, see stn_deliver.h), `ship` and `report --verify
// --database`. The database and the files come from CliIo, so that native
// tests run all of it against a stand-in.
//
// Threads: main thread, but CliDelivery::may_take_units, which the engine
// asks on the engine thread (the same thread in qvm_cli).
#pragma once

#include <memory>
#include <string>

#include "cli_args.h"
#include "cli_run.h"
#include "stn_deliver.h"

// The connection string a command uses: --database, else the machine's
// default (empty: none).
std::string cli_database(const CliArgs &args, CliIo &io);

class CliDelivery {
public:
    // Starts delivering args.report when a database is configured.
    // Returns false when the station must not start (--database-required
    // and the database cannot take lines); the error is printed.
    bool start(const CliArgs &args, CliIo &io);
    // For the engine's StnConfig::flushed, before it opens the report:
    // delivery reads no further than the engine has flushed.
    std::shared_ptr<StnFlushed> flushed() const { return flushed_; }
    bool active() const { return delivery_ != nullptr; }
    void wake();
    bool may_take_units();
    // Prints a line (a JSON "database" event with --json) when the state
    // changed since the last call.
    void show(const CliArgs &args, CliIo &io);
    // Gives delivery a short bounded time at the end (3 s; 1 s when
    // aborted: a second Ctrl+C), then says where it is.
    void finish(bool aborted, const CliArgs &args, CliIo &io);

private:
    std::shared_ptr<StnFlushed> flushed_ = std::make_shared<StnFlushed>();
    std::unique_ptr<StnDelivery> delivery_;
    std::uint64_t shown_ = ~0ull;
    bool held_said_ = false;
};

// The "database" event of a status.
std::string cli_json_database(const StnDeliverStatus &s);

// qvm_cli ship FILE... --database CS.
int cli_ship_command(const CliArgs &args, CliIo &io);
// qvm_cli report --verify FILE... --database CS.
int cli_verify_db_command(const CliArgs &args, CliIo &io);
