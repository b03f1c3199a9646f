// The fixture of the version-query and update end-to-end tests: fresh
// simulated devices (unplugged again at the end) and the program started,
// its main dialog up. Test thread only.
#pragma once

#include <gtest/gtest.h>

#include "upd_support.h"

namespace upd_e2e {

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dev.ready()) << "the simulated device driver does not answer";
        ASSERT_TRUE(prog.start());
        main = prog.wait_main();
        ASSERT_NE(main, nullptr) << "no main dialog";
    }

    // Destroyed in reverse: the program ends before the devices go.
    Devices dev;
    qvm_e2e::Program prog;
    HWND main = nullptr;
};

} // namespace upd_e2e
