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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // 1. The check alone, on a buffer of exactly the bytes received.
    std::vector<std::uint8_t> exact(data, data + size);
    exact.reserve(1);
    const unsigned short flags = CLS_cmc_snd::cmc_recv_msg_chk(size, exact.data());
    check(std::memcmp(exact.data(), data, size) == 0 || size == 0);
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
    dev.read_ok = !(size > 0 && data[0] == 0xFF);

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
