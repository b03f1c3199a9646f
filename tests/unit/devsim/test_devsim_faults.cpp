// Armed faults, the read side of an exchange, and the exchange log.
#include "devsim_frames.h"

namespace devsim_test {
namespace {

using Faults = DeviceTest;
using Reads = DeviceTest;
using Log = DeviceTest;

// The answer a fault-free device gives to LED 2, for comparison.
Bytes clean_led2_answer() {
    Bytes a = {0x02, 0, 0x09, 0x80, 17, 0, 0, 0, 0x55, 0, 0, 0, 0, 0, 0, 0, 0x03};
    a[1] = sum_of(a);
    return a;
}

TEST_F(Faults, ErrorAnswerRefusesWithoutExecuting) {
    ASSERT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_ERROR_ANSWER, 0), 1);
    ASSERT_EQ(devsim_arm_fault(dev(), 1, DEVSIM_FAULT_ERROR_ANSWER, 0x1234), 1);
    expect_error(led_cmd(2), DEVSIM_ERR_INJECTED);
    expect_error(begin_cmd(), 0x1234);
    EXPECT_EQ(dev()->led, 0u);
    EXPECT_EQ(dev()->firm_version, DEVSIM_DEFAULT_FIRM_VERSION);  // the begin did not erase
    expect_ok(led_cmd(2));                     // the next exchange is clean
    EXPECT_EQ(dev()->led, 2u);
}

TEST_F(Faults, RefusedBlockByFaultKeepsTheTransferGoing) {
    expect_ok(begin_cmd());
    ASSERT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_ERROR_ANSWER, 0), 1);
    expect_error(block_cmd(0x4000, block_data(0x4000)), DEVSIM_ERR_INJECTED);
    EXPECT_EQ(flash_at(0x4000), 0xFF);
    expect_ok(block_cmd(0x4000, block_data(0x4000)));  // the same block again
    EXPECT_EQ(dev()->blocks_received, 1u);
}

// Faults that shape the answer: the command still runs.
TEST_F(Faults, AnswerShapesAreExactlyAsArmed) {
    const Bytes clean = clean_led2_answer();
    struct Case {
        const char *what;
        devsim_fault_kind kind;
        std::uint32_t param;
        Bytes expected;
    };
    Bytes bad_sum = clean;
    bad_sum[1] = static_cast<std::uint8_t>(bad_sum[1] + 1);
    Bytes bad_stx = clean;
    bad_stx[0] = 0x00;
    bad_stx[1] = sum_of(bad_stx);
    Bytes bad_etx = clean;
    bad_etx[16] = 0x00;
    bad_etx[1] = sum_of(bad_etx);
    const Case cases[] = {
        {"bad checksum", DEVSIM_FAULT_BAD_CHECKSUM, 0, bad_sum},
        {"short by default 1", DEVSIM_FAULT_SHORT_ANSWER, 0, Bytes(clean.begin(), clean.end() - 1)},
        {"short by 5", DEVSIM_FAULT_SHORT_ANSWER, 5, Bytes(clean.begin(), clean.end() - 5)},
        {"short by all", DEVSIM_FAULT_SHORT_ANSWER, 17, Bytes{}},
        {"short beyond all", DEVSIM_FAULT_SHORT_ANSWER, 0xFFFFFFFFu, Bytes{}},
        {"no answer", DEVSIM_FAULT_NO_ANSWER, 0, Bytes{}},
        {"start byte", DEVSIM_FAULT_BAD_STX, 0, bad_stx},
        {"end byte", DEVSIM_FAULT_BAD_ETX, 0, bad_etx},
        {"delay", DEVSIM_FAULT_DELAY, 250, clean},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        devsim_init(dev(), nullptr);
        ASSERT_EQ(devsim_arm_fault(dev(), 0, c.kind, c.param), 1);
        Bytes cmd = led_cmd(2);
        std::uint32_t written = 0;
        ASSERT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 1);
        EXPECT_EQ(devsim_pending_delay(dev()), c.kind == DEVSIM_FAULT_DELAY ? c.param : 0u);
        EXPECT_EQ(read_answer().raw, c.expected);
        EXPECT_EQ(devsim_pending_delay(dev()), 0u);
        EXPECT_EQ(dev()->led, 2u);
    }
}

TEST_F(Faults, FailedWriteExecutesNothingAndLeavesNothingToRead) {
    ASSERT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_WRITE_FAILS, 0), 1);
    Bytes cmd = begin_cmd();
    std::uint32_t written = 99;
    EXPECT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(dev()->firm_version, DEVSIM_DEFAULT_FIRM_VERSION);
    Bytes buf(64);
    std::uint32_t got = 5;
    EXPECT_EQ(devsim_read(dev(), buf.data(), 64, &got), 0);
    EXPECT_EQ(got, 0u);
}

TEST_F(Faults, FailedReadStillExecutes) {
    ASSERT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_READ_FAILS, 0), 1);
    Bytes cmd = led_cmd(3);
    std::uint32_t written = 0;
    ASSERT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 1);
    Bytes buf(64);
    std::uint32_t got = 5;
    EXPECT_EQ(devsim_read(dev(), buf.data(), 64, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(dev()->led, 3u);
}

// A hang tells the host what to hold back; the model itself never answers
// the hung side, and the next write is clean.
TEST_F(Faults, HangHoldsBackTheReadOrTheWrite) {
    for (std::uint32_t param : {0u, 1u}) {
        const bool on_write = param != 0;
        SCOPED_TRACE(on_write ? "write" : "read");
        devsim_init(dev(), nullptr);
        ASSERT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_HANG, param), 1);
        Bytes cmd = led_cmd(2);
        std::uint32_t written = 99;
        EXPECT_EQ(devsim_write(dev(), cmd.data(), 17, &written), on_write ? 0 : 1);
        EXPECT_EQ(written, on_write ? 0u : 17u);
        EXPECT_EQ(devsim_hang(dev()), on_write ? DEVSIM_HANG_WRITE : DEVSIM_HANG_READ);
        EXPECT_EQ(dev()->led, on_write ? 0u : 2u);  // a hung write is not executed
        Bytes buf(64);
        std::uint32_t got = 5;
        for (int i = 0; i < 2; ++i) EXPECT_EQ(devsim_read(dev(), buf.data(), 64, &got), 0);
        EXPECT_EQ(got, 0u);
        devsim_log_entry e;
        ASSERT_EQ(devsim_log_get(dev(), 0, &e), 1);
        EXPECT_EQ(e.fault, static_cast<std::uint32_t>(DEVSIM_FAULT_HANG));
        EXPECT_EQ(e.code, 0u);  // no answer went back
        expect_ok(led_cmd(3));
        EXPECT_EQ(devsim_hang(dev()), static_cast<std::uint32_t>(DEVSIM_HANG_NONE));
    }
}

TEST_F(Faults, FaultHitsOnlyItsOwnExchange) {
    expect_ok(led_cmd(1));  // exchange 0
    ASSERT_EQ(devsim_arm_fault(dev(), 2, DEVSIM_FAULT_BAD_CHECKSUM, 0), 1);  // exchange 3
    EXPECT_TRUE(exchange(led_cmd(1)).framed);
    EXPECT_TRUE(exchange(led_cmd(1)).framed);
    EXPECT_FALSE(exchange(led_cmd(1)).framed);
    EXPECT_TRUE(exchange(led_cmd(1)).framed);
    EXPECT_EQ(dev()->fault_count, 0u);
}

TEST_F(Faults, ArmingIsRefusedWhenItCannotBeKept) {
    EXPECT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_NONE, 0), 0);
    EXPECT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_KIND_COUNT, 0), 0);
    EXPECT_EQ(devsim_arm_fault(dev(), 0, 0xFFFFFFFFu, 0), 0);
    EXPECT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_DELAY, 1), 1);
    EXPECT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_NO_ANSWER, 0), 0);  // one per exchange
    expect_ok(led_cmd(1));
    EXPECT_EQ(devsim_arm_fault(dev(), 0xFFFFFFFFu, DEVSIM_FAULT_DELAY, 1), 0);  // past the counter
    for (std::uint32_t i = 0; i < DEVSIM_MAX_FAULTS; ++i) {
        EXPECT_EQ(devsim_arm_fault(dev(), i, DEVSIM_FAULT_NO_ANSWER, 0), 1);
    }
    EXPECT_EQ(devsim_arm_fault(dev(), DEVSIM_MAX_FAULTS, DEVSIM_FAULT_NO_ANSWER, 0), 0);  // full
    devsim_clear_faults(dev());
    EXPECT_TRUE(exchange(led_cmd(1)).framed);
    EXPECT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_NO_ANSWER, 0), 1);
}

TEST_F(Reads, ReadReturnsEachAnswerOnceAndNeverMore) {
    Bytes buf(64, 0);
    std::uint32_t got = 7;
    EXPECT_EQ(devsim_read(dev(), buf.data(), 64, &got), 0);  // nothing written yet
    EXPECT_EQ(got, 0u);

    Bytes cmd = version_cmd();
    std::uint32_t written = 0;
    ASSERT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 1);
    Response small = read_answer(17);  // room for the header only
    EXPECT_EQ(small.raw.size(), 17u);
    EXPECT_FALSE(small.framed);  // its len says 37
    EXPECT_EQ(devsim_read(dev(), buf.data(), 64, &got), 0);  // the rest is gone

    // An answer nobody read is dropped by the next write.
    ASSERT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 1);
    ASSERT_EQ(devsim_write(dev(), led_cmd(1).data(), 17, &written), 1);
    Response r = read_answer();
    EXPECT_TRUE(r.framed);
    EXPECT_EQ(r.raw.size(), 17u);  // not the 37-byte version answer
    EXPECT_EQ(r.id, 0x8009);
    EXPECT_EQ(devsim_read(dev(), nullptr, 64, &got), 0);
}

TEST_F(Reads, ZeroCapacityOrNoBufferTakesTheAnswerEmpty) {
    Bytes cmd = led_cmd(1);
    std::uint32_t written = 0, got = 3;
    ASSERT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 1);
    EXPECT_EQ(devsim_read(dev(), nullptr, 64, &got), 1);
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 1);
    std::uint8_t b = 0xAA;
    EXPECT_EQ(devsim_read(dev(), &b, 0, &got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(b, 0xAA);
}

TEST_F(Log, EachExchangeIsLoggedAsItWasSeen) {
    ASSERT_EQ(devsim_arm_fault(dev(), 3, DEVSIM_FAULT_WRITE_FAILS, 0), 1);
    ASSERT_EQ(devsim_arm_fault(dev(), 4, DEVSIM_FAULT_NO_ANSWER, 0), 1);
    expect_ok(led_cmd(2));                                                   // 0
    expect_ok(begin_cmd());                                                  // 1
    expect_error(block_cmd(0x4080, block_data(0x4080)), DEVSIM_ERR_BLOCK_ALIGN);  // 2
    Bytes end = end_cmd();
    std::uint32_t written = 0;
    EXPECT_EQ(devsim_write(dev(), end.data(), 17, &written), 0);            // 3
    ASSERT_EQ(devsim_write(dev(), end.data(), 17, &written), 1);            // 4
    expect_error(Bytes{0x02, 0x01, 0x09, 0x80}, DEVSIM_ERR_BAD_LEN);         // 5

    ASSERT_EQ(devsim_log_size(dev()), 6u);
    devsim_log_entry e[6];
    for (std::uint32_t i = 0; i < 6; ++i) ASSERT_EQ(devsim_log_get(dev(), i, &e[i]), 1);
    for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(e[i].index, i);

    EXPECT_EQ(e[0].cmd_id, 0x8009);
    EXPECT_EQ(e[0].param1, 2u);
    EXPECT_EQ(e[0].code, DEVSIM_CODE_OK);
    EXPECT_EQ(e[0].error, 0u);
    EXPECT_EQ(e[0].length, 17u);
    EXPECT_EQ(e[2].cmd_id, 0x0001);
    EXPECT_EQ(e[2].param1, 2u);
    EXPECT_EQ(e[2].param2, 0x4080u);
    EXPECT_EQ(e[2].length, 273u);
    EXPECT_EQ(e[2].code, DEVSIM_CODE_ERROR);
    EXPECT_EQ(e[2].error, DEVSIM_ERR_BLOCK_ALIGN);
    EXPECT_EQ(e[3].fault, static_cast<std::uint32_t>(DEVSIM_FAULT_WRITE_FAILS));
    EXPECT_EQ(e[3].code, 0u);
    EXPECT_EQ(e[4].fault, static_cast<std::uint32_t>(DEVSIM_FAULT_NO_ANSWER));
    EXPECT_EQ(e[4].code, 0u);  // executed, but nothing went back
    EXPECT_EQ(e[4].param1, 3u);
    EXPECT_EQ(e[4].error, DEVSIM_ERR_NOT_IN_BOOT);  // the refused block ended the transfer
    EXPECT_EQ(dev()->boot_state, static_cast<std::uint32_t>(DEVSIM_BOOT_IDLE));
    // A fragment: the id it covers, parameters it does not cover read 0.
    EXPECT_EQ(e[5].cmd_id, 0x8009);
    EXPECT_EQ(e[5].param1, 0u);
    EXPECT_EQ(e[5].length, 4u);
    EXPECT_EQ(e[5].error, DEVSIM_ERR_BAD_LEN);

    devsim_log_entry out;
    EXPECT_EQ(devsim_log_get(dev(), 6, &out), 0);
    EXPECT_EQ(devsim_log_get(dev(), 0, nullptr), 0);
}

TEST_F(Log, RingKeepsTheNewestAndCountsOn) {
    const std::uint32_t total = DEVSIM_LOG_CAPACITY + 44;
    for (std::uint32_t i = 0; i < total; ++i) {
        Bytes cmd = command(DEVSIM_CMD_LED_SET, 1 + i % 3, 0);
        std::uint32_t written = 0;
        ASSERT_EQ(devsim_write(dev(), cmd.data(), 17, &written), 1);
    }
    ASSERT_EQ(devsim_log_size(dev()), DEVSIM_LOG_CAPACITY);
    devsim_log_entry first, last;
    ASSERT_EQ(devsim_log_get(dev(), 0, &first), 1);
    ASSERT_EQ(devsim_log_get(dev(), DEVSIM_LOG_CAPACITY - 1, &last), 1);
    EXPECT_EQ(first.index, 44u);
    EXPECT_EQ(first.param1, 1 + 44u % 3);
    EXPECT_EQ(last.index, total - 1);
    EXPECT_EQ(last.param1, 1 + (total - 1) % 3);
    for (std::uint32_t i = 1; i < DEVSIM_LOG_CAPACITY; ++i) {
        devsim_log_entry e;
        ASSERT_EQ(devsim_log_get(dev(), i, &e), 1);
        ASSERT_EQ(e.index, 44u + i);
    }

    devsim_log_clear(dev());
    EXPECT_EQ(devsim_log_size(dev()), 0u);
    expect_ok(led_cmd(1));
    ASSERT_EQ(devsim_log_get(dev(), 0, &first), 1);
    EXPECT_EQ(first.index, total);  // exchange numbers keep counting
}

TEST_F(Log, InitStartsAfresh) {
    expect_ok(led_cmd(1));
    ASSERT_EQ(devsim_arm_fault(dev(), 0, DEVSIM_FAULT_NO_ANSWER, 0), 1);
    devsim_init(dev(), nullptr);
    EXPECT_EQ(devsim_log_size(dev()), 0u);
    EXPECT_EQ(dev()->exchanges, 0u);
    EXPECT_EQ(dev()->led, 0u);
    expect_ok(led_cmd(1));  // the armed fault went with the old device
}

}  // namespace
}  // namespace devsim_test
