// Plugging devices in and out while the driver runs, unplugging under an
// open handle, power cycles, and the control device's checks of every
// request it is given.
#include <cstring>

#include "drv_test_util.h"

using namespace drvtest;

namespace {

std::uint32_t present_count(devsim::Control &ctl) {
    devsim_ioc_info info{};
    EXPECT_TRUE(ctl.info(&info));
    return info.device_count;
}

}  // namespace

// ---- device absent / unplugged ----------------------------------------------

TEST_F(DriverTest, RemovedDeviceCannotBeOpenedAndComesBackWhenAdded) {
    {
        DevFile dev(0);
        ASSERT_TRUE(dev.ok());
    }
    ASSERT_TRUE(ctl.remove(0));
    EXPECT_FALSE(test_support::Handle(DevFile::open_name(0)).ok());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ctl.remove(0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(ctl.add(0, test_config()));
    DevFile dev(0);
    ASSERT_TRUE(dev.ok());
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
}

TEST_F(DriverTest, OnlyTheConfiguredIndicesExist) {
    ASSERT_TRUE(ctl.remove_all());
    ASSERT_TRUE(ctl.add(3, test_config()));
    ASSERT_TRUE(ctl.add(255, test_config()));
    for (unsigned i : {0u, 1u, 2u, 4u, 254u}) {
        EXPECT_FALSE(test_support::Handle(DevFile::open_name(i)).ok()) << i;
    }
    DevFile d3(3), d255(255);
    EXPECT_TRUE(d3.ok());
    EXPECT_TRUE(d255.ok());
    devsim_ioc_info info{};
    ASSERT_TRUE(ctl.info(&info));
    EXPECT_EQ(info.abi_version, DEVSIM_ABI_VERSION);
    EXPECT_EQ(info.device_count, 2u);
    EXPECT_EQ(info.present[3], 1);
    EXPECT_EQ(info.present[255], 1);
    EXPECT_EQ(info.present[0], 0);
    // Each index is its own device.
    Bytes answer;
    ASSERT_TRUE(d3.exchange(led_set(2), &answer));
    EXPECT_EQ(state(3).led, 2u);
    EXPECT_EQ(state(255).led, 0u);
}

TEST_F(DriverTest, AddingAPresentIndexIsRefusedAndKeepsTheDevice) {
    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(led_set(3), &answer));
    devsim::DeviceConfig other = test_config();
    other.firm_version = 0x200;
    EXPECT_FALSE(ctl.add(0, other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(state().led, 3u);
    EXPECT_EQ(state().firm_version, test_config().firm_version);
}

TEST_F(DriverTest, UnplugWithAHandleOpenFailsItsIoAndFreesTheIndex) {
    DevFile old_dev(0);
    ASSERT_TRUE(old_dev.ok());
    EXPECT_EQ(state().open_handles, 1u);
    ASSERT_TRUE(ctl.remove(0));
    EXPECT_EQ(present_count(ctl), 0u);

    // The old handle is dead: every request fails, nothing crashes.
    Bytes answer;
    EXPECT_FALSE(old_dev.write(version_get()));
    EXPECT_FALSE(old_dev.read(&answer));
    EXPECT_FALSE(test_support::Handle(DevFile::open_name(0)).ok());

    // Plugged in again while the old handle lingers: a new, separate device.
    devsim::DeviceConfig cfg = test_config();
    cfg.firm_version = 0x1F4;
    ASSERT_TRUE(ctl.add(0, cfg));
    DevFile new_dev(0);
    ASSERT_TRUE(new_dev.ok());
    ASSERT_TRUE(new_dev.exchange(version_get(), &answer, 41));
    ASSERT_EQ(answer.size(), 37u);
    EXPECT_EQ(get32(answer, 16), 0x1F4u);
    EXPECT_FALSE(old_dev.write(version_get()));

    // Closing the old handle does not disturb the new device.
    old_dev.close();
    ASSERT_TRUE(new_dev.exchange(led_set(2), &answer));
    EXPECT_EQ(get32(answer, 8), 0x55u);
    EXPECT_EQ(state().open_handles, 1u);
    EXPECT_EQ(state().exchanges, 2u);
}

TEST_F(DriverTest, RepeatedPlugCyclesUnderOpenHandlesStayConsistent) {
    // Every cycle leaves a lingering device behind an open handle; they all
    // go when their handles close.
    std::vector<test_support::Handle> stale;
    for (int i = 0; i < 20; ++i) {
        stale.emplace_back(DevFile::open_name(0));
        ASSERT_TRUE(stale.back().ok()) << i;
        ASSERT_TRUE(ctl.remove(0)) << i;
        ASSERT_TRUE(ctl.add(0, test_config())) << i;
    }
    for (test_support::Handle &h : stale) {
        DWORD n = 0;
        std::uint8_t b[17] = {};
        EXPECT_FALSE(WriteFile(h.get(), b, sizeof(b), &n, nullptr));
        h.reset();
    }
    EXPECT_EQ(present_count(ctl), 1u);
    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(state().open_handles, 1u);
}

TEST_F(DriverTest, ResetStartsTheDeviceAgainFromItsConfiguration) {
    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(boot_data(1), &answer));  // erases, no firmware now
    ASSERT_TRUE(dev.exchange(led_set(2), &answer));
    ASSERT_TRUE(ctl.arm_fault(0, 5, DEVSIM_FAULT_NO_ANSWER));
    ASSERT_TRUE(ctl.set_delay(0, 10));
    EXPECT_EQ(state().firm_version, 0xFFFFFFFFu);

    ASSERT_TRUE(ctl.reset(0));
    const devsim_ioc_state st = state();
    EXPECT_EQ(st.firm_version, test_config().firm_version);
    EXPECT_EQ(st.led, 0u);
    EXPECT_EQ(st.exchanges, 0u);
    EXPECT_EQ(st.log_kept, 0u);
    EXPECT_EQ(st.faults_armed, 0u);
    EXPECT_EQ(st.delay_ms, 10u);
    EXPECT_EQ(st.open_handles, 1u);  // the handle survives a power cycle
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_EQ(get32(answer, 16), test_config().firm_version);
}

// ---- the control device checks every request ------------------------------

TEST_F(DriverTest, ShortInputBuffersAreRefused) {
    struct {
        DWORD code;
        DWORD need;
    } const cases[] = {
        {DEVSIM_IOCTL_ADD, sizeof(devsim_ioc_add)},
        {DEVSIM_IOCTL_REMOVE, sizeof(devsim_ioc_index)},
        {DEVSIM_IOCTL_RESET, sizeof(devsim_ioc_index)},
        {DEVSIM_IOCTL_ARM_FAULT, sizeof(devsim_ioc_fault)},
        {DEVSIM_IOCTL_CLEAR_FAULTS, sizeof(devsim_ioc_index)},
        {DEVSIM_IOCTL_SET_DELAY, sizeof(devsim_ioc_delay)},
        {DEVSIM_IOCTL_STATE, sizeof(devsim_ioc_index)},
        {DEVSIM_IOCTL_LOG, sizeof(devsim_ioc_log_req)},
        {DEVSIM_IOCTL_CLEAR_LOG, sizeof(devsim_ioc_index)},
        {DEVSIM_IOCTL_FLASH, sizeof(devsim_ioc_flash_req)},
    };
    // Index 1 with room for any answer: only the input length is wrong.
    std::uint8_t in[64] = {1, 0, 0, 0};
    std::vector<std::uint8_t> out(1 << 16);
    for (const auto &c : cases) {
        for (DWORD len : {DWORD{0}, c.need - 1}) {
            EXPECT_FALSE(ctl.request(c.code, len ? in : nullptr, len, out.data(),
                                     static_cast<DWORD>(out.size())))
                << std::hex << c.code << " len " << len;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER))
                << std::hex << c.code << " len " << len;
        }
    }
    EXPECT_EQ(present_count(ctl), 1u);  // nothing was added by a short add
}

TEST_F(DriverTest, ShortOutputBuffersAreRefused) {
    devsim_ioc_index idx{0};
    std::uint8_t out[sizeof(devsim_ioc_info)] = {};
    EXPECT_FALSE(ctl.request(DEVSIM_IOCTL_INFO, nullptr, 0, out, sizeof(devsim_ioc_info) - 1));
    EXPECT_FALSE(ctl.request(DEVSIM_IOCTL_INFO, nullptr, 0, nullptr, 0));
    EXPECT_FALSE(ctl.request(DEVSIM_IOCTL_STATE, &idx, sizeof(idx), out,
                             sizeof(devsim_ioc_state) - 1));
    devsim_ioc_log_req lq{0, 0};
    EXPECT_FALSE(ctl.request(DEVSIM_IOCTL_LOG, &lq, sizeof(lq), out,
                             sizeof(devsim_ioc_log_head) - 1));
    devsim_ioc_flash_req fq{0, 0, 64};
    EXPECT_FALSE(ctl.request(DEVSIM_IOCTL_FLASH, &fq, sizeof(fq), out, 63));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(DriverTest, LogAnswersAsManyEntriesAsFit) {
    DevFile dev(0);
    Bytes answer;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(dev.exchange(led_set(1), &answer));
    std::vector<std::uint8_t> out(sizeof(devsim_ioc_log_head) + 2 * sizeof(devsim_ioc_log_entry) +
                                  5);
    devsim_ioc_log_req q{0, 1};
    DWORD got = 0;
    ASSERT_TRUE(ctl.request(DEVSIM_IOCTL_LOG, &q, sizeof(q), out.data(),
                            static_cast<DWORD>(out.size()), &got));
    devsim_ioc_log_head head;
    std::memcpy(&head, out.data(), sizeof(head));
    EXPECT_EQ(head.total, 5u);
    EXPECT_EQ(head.kept, 5u);
    EXPECT_EQ(head.first, 1u);
    EXPECT_EQ(head.returned, 2u);
    EXPECT_EQ(got, sizeof(head) + 2 * sizeof(devsim_ioc_log_entry));
    devsim_ioc_log_entry e;
    std::memcpy(&e, out.data() + sizeof(head), sizeof(e));
    EXPECT_EQ(e.index, 1u);
    // Past the end, and far past it: the head alone.
    for (std::uint32_t first : {5u, 0xFFFFFFFFu}) {
        q.first = first;
        ASSERT_TRUE(ctl.request(DEVSIM_IOCTL_LOG, &q, sizeof(q), out.data(),
                                static_cast<DWORD>(out.size()), &got));
        std::memcpy(&head, out.data(), sizeof(head));
        EXPECT_EQ(head.returned, 0u);
        EXPECT_EQ(got, sizeof(head));
    }
}

TEST_F(DriverTest, BadArgumentsAreRefused) {
    // Indices outside 0..255, for every request that names one.
    for (std::uint32_t index : {256u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(ctl.add(index, test_config()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(ctl.remove(index));
        EXPECT_FALSE(ctl.reset(index));
        EXPECT_FALSE(ctl.set_delay(index, 1));
        devsim_ioc_state st;
        EXPECT_FALSE(ctl.state(index, &st));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    // A plausible index with no device.
    devsim_ioc_state st;
    EXPECT_FALSE(ctl.state(7, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ctl.arm_fault(7, 0, DEVSIM_FAULT_NO_ANSWER));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Fault kinds the device does not know, and a full fault table.
    EXPECT_FALSE(ctl.arm_fault(0, 0, DEVSIM_FAULT_KIND_COUNT));
    EXPECT_FALSE(ctl.arm_fault(0, 0, 0xFFFFFFFFu));
    for (std::uint32_t i = 0; i < DEVSIM_MAX_FAULTS; ++i)
        ASSERT_TRUE(ctl.arm_fault(0, i, DEVSIM_FAULT_BAD_CHECKSUM)) << i;
    EXPECT_FALSE(ctl.arm_fault(0, DEVSIM_MAX_FAULTS, DEVSIM_FAULT_BAD_CHECKSUM));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(ctl.clear_faults(0));
    EXPECT_EQ(state().faults_armed, 0u);

    // An MCU version wider than its 16 bits.
    devsim::DeviceConfig wide = test_config();
    wide.mcu_version = 0x10000;
    EXPECT_FALSE(ctl.add(9, wide));
    EXPECT_EQ(present_count(ctl), 1u);

    // Flash ranges outside the window, including ones whose end wraps.
    std::vector<std::uint8_t> out(DEVSIM_WINDOW_SIZE + 16);
    const devsim_ioc_flash_req bad[] = {{0, 0, DEVSIM_WINDOW_SIZE + 1},
                                        {0, DEVSIM_WINDOW_SIZE, 1},
                                        {0, 0x10, 0xFFFFFFF8u},
                                        {0, 0xFFFFFFFFu, 2}};
    for (const auto &q : bad) {
        EXPECT_FALSE(ctl.request(DEVSIM_IOCTL_FLASH, &q, sizeof(q), out.data(),
                                 static_cast<DWORD>(out.size())))
            << q.offset << "+" << q.length;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    const devsim_ioc_flash_req tail{0, DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START, 4};
    DWORD got = 0;
    ASSERT_TRUE(ctl.request(DEVSIM_IOCTL_FLASH, &tail, sizeof(tail), out.data(), 4, &got));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(get32(Bytes(out.begin(), out.begin() + 4), 0), test_config().firm_version);
}

TEST_F(DriverTest, WrongRequestsOnEitherKindOfDeviceAreRefused) {
    // Unknown control codes, including ones of other device types.
    std::uint8_t buf[512] = {};
    for (DWORD code : {DWORD{DEVSIM_IOCTL_CODE(13)}, DWORD{DEVSIM_IOCTL_CODE(0x7FF)},
                       DWORD{CTL_CODE(FILE_DEVICE_DISK, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)},
                       DWORD{0}}) {
        EXPECT_FALSE(ctl.request(code, buf, sizeof(buf), buf, sizeof(buf))) << std::hex << code;
    }
    // Reads and writes on the control device.
    test_support::Handle h(CreateFileA(DEVSIM_CTL_FILE_NAME, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
    ASSERT_TRUE(h.ok());
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h.get(), buf, 17, &n, nullptr));
    EXPECT_FALSE(ReadFile(h.get(), buf, 17, &n, nullptr));
    h.reset();
    // Control requests on a simulated device.
    DevFile dev(0);
    EXPECT_FALSE(DeviceIoControl(dev.get(), DEVSIM_IOCTL_INFO, nullptr, 0, buf, sizeof(buf), &n,
                                 nullptr));
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
}

TEST_F(DriverTest, ControlDeviceIsShareable) {
    devsim::Control second;
    ASSERT_TRUE(second.open()) << GetLastError();
    ASSERT_TRUE(second.add(1, test_config()));
    EXPECT_EQ(present_count(ctl), 2u);
}

TEST_F(DriverTest, RandomControlRequestsNeverHurtTheDriver) {
    std::uint32_t seed = 6;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    std::vector<std::uint8_t> in(1024), out(DEVSIM_WINDOW_SIZE + 64);
    for (int i = 0; i < 1000; ++i) {
        const DWORD code = DEVSIM_IOCTL_CODE(next() % 14);
        for (auto &b : in) b = static_cast<std::uint8_t>(next());
        in[0] = static_cast<std::uint8_t>(next() % 4);  // mostly devices that may exist
        if (next() % 2) std::memset(in.data() + 1, 0, 3);
        const DWORD in_len = next() % 3 == 0 ? 0 : next() % 40;
        const DWORD out_len = next() % 4 == 0 ? next() % static_cast<DWORD>(out.size())
                                               : next() % 300;
        ctl.request(code, in_len ? in.data() : nullptr, in_len, out_len ? out.data() : nullptr,
                    out_len);
    }
    // Still answering, and a device added now works as any other.
    ASSERT_TRUE(ctl.remove_all());
    ASSERT_TRUE(ctl.add(0, test_config()));
    EXPECT_EQ(present_count(ctl), 1u);
    DevFile dev(0);
    Bytes answer;
    ASSERT_TRUE(dev.exchange(version_get(), &answer, 41));
    EXPECT_TRUE(well_framed(answer));
    EXPECT_EQ(get32(answer, 16), test_config().firm_version);
}
