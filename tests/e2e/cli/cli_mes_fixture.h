// What qvm_cli's tests with an MES start from: the stand-in (started around
// the test by with_mes_standin.sh) answering everything as it starts, the
// simulated devices, and a report of their own that is removed afterwards
// with its cursors.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "cli_e2e_run.h"
#include "mes_standin_client.h"
#include "upd_support.h"

class CliMesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(mes.ok()) << "no stand-in: run through tests/support/with_mes_standin.sh";
        ASSERT_TRUE(dev.ready()) << "the simulated device driver is not running";
        mes.script(mes_standin::Json::object());
    }
    void TearDown() override {
        mes.script(mes_standin::Json::object());
        DeleteFileA(report.c_str());
        DeleteFileA((report + ".mescursor").c_str());
    }

    mes_standin::StandIn mes{"QVM_MES_DIR"};
    upd_e2e::Devices dev;
    const std::string report = cli_e2e::temp_path("mes-station.jsonl");
};
