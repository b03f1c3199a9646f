// Arbitrary device responses into the response check, the exchange and the
// version parse. A well-framed answer must be the only one accepted, and
// nothing may be read or written outside the buffers.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "cmc.h"
#include "cmc_snd.h"
#include "pcmc.h"
#include "posix_dev.h"

namespace {

// Answers every command with the fuzzer's bytes.
class FuzzDevice : public qvm_posix::Device {
public:
    const std::uint8_t *data = nullptr;
    std::size_t size = 0;
    bool read_ok = true;
    bool on_write(const std::uint8_t *, std::uint32_t len, std::uint32_t *written) override {
        *written = len;
        return true;
    }
    bool on_read(std::uint8_t *buf, std::uint32_t cap, std::uint32_t *got) override {
        std::uint32_t n = size < cap ? static_cast<std::uint32_t>(size) : cap;
        if (n != 0) std::memcpy(buf, data, n);
        *got = n;
        return read_ok;
    }
};

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Independent statement of a well-framed, accepted answer of n bytes.
bool well_framed(const std::uint8_t *d, std::size_t n) {
    // Header bytes that did not arrive count as 0.
    auto byte = [&](std::size_t i) -> std::uint32_t { return i < n ? d[i] : 0; };
    auto u32 = [&](std::size_t off) {
        return byte(off) | byte(off + 1) << 8 | byte(off + 2) << 16 | byte(off + 3) << 24;
    };
    if (n == 0 || d[0] != 0x02) return false;
    if (u32(4) != n) return false;
    if (d[n - 1] != 0x03) return false;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 1) sum = static_cast<std::uint8_t>(sum + d[i]);
    }
    if (sum != byte(1)) return false;
    return u32(8) == 0x55;
}

// The first input byte steers: bit 0 makes the len field match, bit 1 the
// checksum (both hard to hit by mutation, and needed to reach the accepted
// paths), bit 2 makes the read fail. The rest is the device's answer.
std::vector<std::uint8_t> shape(const std::uint8_t *data, std::size_t size, bool *read_ok) {
    if (size == 0) {
        *read_ok = true;
        return {};
    }
    const std::uint8_t ctl = data[0];
    std::vector<std::uint8_t> msg(data + 1, data + size);
    *read_ok = (ctl & 4) == 0;
    if ((ctl & 1) && msg.size() >= 8) {
        const auto n = static_cast<std::uint32_t>(msg.size());
        for (int i = 0; i < 4; ++i) msg[4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    }
    if ((ctl & 2) && msg.size() >= 2) {
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < msg.size(); ++i) {
            if (i != 1) sum = static_cast<std::uint8_t>(sum + msg[i]);
        }
        msg[1] = sum;
    }
    return msg;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *raw, std::size_t raw_size) {
    bool read_ok = true;
    const std::vector<std::uint8_t> answer = shape(raw, raw_size, &read_ok);
    const std::uint8_t *data = answer.data();
    const std::size_t size = answer.size();

    // 1. The check alone, on a buffer of exactly the bytes received.
    std::vector<std::uint8_t> exact(data, data + size);
    exact.reserve(1);
    const unsigned short flags = CLS_cmc_snd::cmc_recv_msg_chk(size, exact.data());
    check(size == 0 || std::memcmp(exact.data(), data, size) == 0);
    check((flags == 0) == well_framed(data, size));

    // 2. The same bytes as a device's answer to each command.
    static FuzzDevice dev;
    static bool registered = false;
    if (!registered) {
        qvm_posix::register_device("R846_QVM2K_0", &dev);
        registered = true;
    }
    dev.data = data;
    dev.size = size;
    dev.read_ok = read_ok;

    SCMC_OPENTBL *tbl = nullptr;
    const unsigned long n = CLS_cmc_snd::cmc_devtbl_edit(&tbl, 1, 1);
    check(n == 1);
    tbl[0].end_code = 0xDEADBEEF;
    SQVM_CMD_VER ver;
    std::memset(&ver, 0xA5, sizeof(ver));
    const SQVM_CMD_VER untouched = ver;
    unsigned long boot = 0x12345678;
    const unsigned short r = CLS_cmc::cmc_cmd_ver_get(&tbl[0], &ver, &boot);
    const std::size_t got = size < 37 ? size : 37;
    check(r == 0 || r == 3 || r == 4);
    check((r == 0) == (dev.read_ok && well_framed(data, got)));
    if (r != 0) {
        check(std::memcmp(&ver, &untouched, sizeof(ver)) == 0 && boot == 0x12345678);
    } else {
        // The payload bytes that arrived, the rest 0, license halves unscrambled.
        std::uint8_t p[20] = {};
        for (std::size_t i = 16; i + 1 < got && i < 36; ++i) p[i - 16] = data[i];
        auto le = [&](int o) {
            return static_cast<std::uint32_t>(p[o] | p[o + 1] << 8 | p[o + 2] << 16 |
                                              static_cast<std::uint32_t>(p[o + 3]) << 24);
        };
        check(ver.firm_version == le(0));
        check(ver.mcu_version == (p[4] | p[5] << 8));
        check(ver.dummy == (p[6] | p[7] << 8));
        check(ver.license_bit.low == ~(le(8) ^ 0x5A3C96E1u));
        check(static_cast<std::uint32_t>(ver.license_bit.high) == ~(le(12) ^ 0xC3A55A3Cu));
        check(static_cast<std::uint32_t>(ver.serial_no) == le(16));
        std::uint32_t p2 = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            p2 |= static_cast<std::uint32_t>(12 + i < got ? data[12 + i] : 0) << (8 * i);
        }
        check(boot == p2);
    }
    if (r != 4) check(tbl[0].end_code == 0xDEADBEEF);
    (void)CLS_cmc::cmc_cmd_led_set(&tbl[0], 1);
    CLS_cmc_snd::cmc_devtbl_free(tbl, n);

    // 3. The version query over the same answer.
    SCMC_DEV_VER *recs = nullptr;
    const unsigned char q = CLS_pcmc::pcmc_get_ver(&recs, 1, 1);
    check(q == 0 || q == 3);
    check(recs != nullptr);
    if (q == 3) check(recs[0].firm_version == 0xFFFFFFFFu && recs[0].boot_version == 0xFFFFFFFFu);
    LocalFree(recs);
    check(qvm_posix::open_device_handles() == 0);
    return 0;
}
