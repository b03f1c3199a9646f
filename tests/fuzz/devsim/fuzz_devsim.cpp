// Arbitrary command streams into the device model, read back with arbitrary
// capacities and faults armed on the way. Checked after every exchange: the
// answer fits the buffer and the largest response, an unfaulted answer is
// well framed with a known code and the command's id, only an accepted
// block changes the flash, and only by its own 256 bytes.
//
// Input: one byte of device configuration, then records of
//   [flags][len lo][len hi][capacity][fault kind][fault param] + len bytes
// flags bit 0: frame the bytes (start, len field, end, checksum put right)
// so that the fuzzer reaches the commands; bit 1: arm the fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "devsim_model.h"
#include "test_frames.h"

namespace {

#define CHECK(cond)          \
    do {                     \
        if (!(cond)) abort(); \
    } while (0)

std::uint32_t get32(const std::uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint8_t sum_of(const std::uint8_t *p, std::size_t n) {
    return test_frames::frame_sum(test_frames::Bytes(p, p + n));
}

// Puts start, len field, end and checksum right, keeping the rest.
void frame(test_frames::Bytes &cmd) {
    if (cmd.size() < 17) cmd.resize(17, 0);
    cmd[0] = 0x02;
    test_frames::put32(cmd, 4, static_cast<std::uint32_t>(cmd.size()));
    cmd.back() = 0x03;
    cmd[1] = test_frames::frame_sum(cmd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static std::unique_ptr<devsim_device> dev(new devsim_device);
    static std::vector<std::uint8_t> shadow(DEVSIM_WINDOW_SIZE);
    if (size < 1) return 0;

    devsim_config config;
    devsim_default_config(&config);
    if (data[0] & 1) config.firm_version = 0xFFFFFFFFu;
    devsim_init(dev.get(), &config);
    std::memcpy(shadow.data(), dev->flash, DEVSIM_WINDOW_SIZE);
    std::size_t at = 1;

    while (size - at >= 6) {
        const std::uint8_t flags = data[at];
        const std::size_t len = (data[at + 1] | (data[at + 2] << 8)) % 700;
        const std::uint32_t capacity = data[at + 3] == 0xFF ? 0xFFFFFFFFu : data[at + 3];
        const std::uint32_t kind = data[at + 4] % DEVSIM_FAULT_KIND_COUNT;
        const std::uint32_t param = data[at + 5];
        at += 6;
        const std::size_t take = len < size - at ? len : size - at;
        std::vector<std::uint8_t> cmd(data + at, data + at + take);
        at += take;
        if (flags & 1) frame(cmd);

        const std::uint32_t exchange = dev->exchanges;
        const bool armed = (flags & 2) && kind != DEVSIM_FAULT_NONE &&
                           devsim_arm_fault(dev.get(), 0, kind, param) == 1;
        const std::uint32_t fault = armed ? kind : DEVSIM_FAULT_NONE;
        const std::uint32_t boot_before = dev->boot_state;
        const std::uint32_t blocks_before = dev->blocks_received;
        const std::uint32_t next_before = dev->next_block;
        // Unplugged or powered off by this exchange: no answer, ever.
        const bool lost = fault == DEVSIM_FAULT_UNPLUG || fault == DEVSIM_FAULT_POWER_LOSS;
        // Stops responding: the write (not executed) or the read never ends.
        const bool hang_write = fault == DEVSIM_FAULT_HANG && param != 0;
        const bool hang_read = fault == DEVSIM_FAULT_HANG && param == 0;

        // Exact-size copy, so that the sanitizer sees any read past the end.
        std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[cmd.size() + 1]);
        if (!cmd.empty()) std::memcpy(exact.get(), cmd.data(), cmd.size());
        std::uint32_t written = 0xAAAAAAAAu;
        const int wrote = devsim_write(dev.get(), cmd.empty() ? nullptr : exact.get(),
                                       static_cast<std::uint32_t>(cmd.size()), &written);
        CHECK(dev->exchanges == exchange + 1);
        CHECK(devsim_hang(dev.get()) ==
              (hang_write ? DEVSIM_HANG_WRITE : hang_read ? DEVSIM_HANG_READ : DEVSIM_HANG_NONE));
        if (fault == DEVSIM_FAULT_WRITE_FAILS || fault == DEVSIM_FAULT_UNPLUG || hang_write) {
            CHECK(wrote == 0 && written == 0);
        } else {
            CHECK(wrote == 1 && written == cmd.size());
        }
        CHECK(devsim_pending_delay(dev.get()) ==
              (fault == DEVSIM_FAULT_DELAY && wrote ? param : 0u));

        std::vector<std::uint8_t> buf(capacity > 512 ? 512 : capacity, 0xCC);
        std::uint32_t got = 0xAAAAAAAAu;
        const int read = devsim_read(dev.get(), buf.data(), capacity > 512 ? 512 : capacity, &got);
        CHECK(got <= buf.size() && got <= DEVSIM_MAX_RESPONSE);
        if (fault == DEVSIM_FAULT_WRITE_FAILS || fault == DEVSIM_FAULT_READ_FAILS || lost ||
            fault == DEVSIM_FAULT_HANG) {
            CHECK(read == 0 && got == 0);
        } else {
            CHECK(read == 1);
        }

        // The answer as sent, whatever the read could take.
        CHECK(dev->response_len <= DEVSIM_MAX_RESPONSE);
        const std::uint8_t *r = dev->response;
        const std::uint32_t n = dev->response_len;
        if (got > 0) CHECK(std::memcmp(buf.data(), r, got) == 0);
        if (wrote && !lost && fault != DEVSIM_FAULT_NO_ANSWER && fault != DEVSIM_FAULT_SHORT_ANSWER) {
            CHECK(n == 17 || n == 37);
            CHECK(get32(r + 4) == n);
            const bool sum_ok = sum_of(r, n) == r[1];
            CHECK(sum_ok == (fault != DEVSIM_FAULT_BAD_CHECKSUM));
            CHECK((r[0] == 0x02) == (fault != DEVSIM_FAULT_BAD_STX));
            CHECK((r[n - 1] == 0x03) == (fault != DEVSIM_FAULT_BAD_ETX));
            const std::uint32_t code = get32(r + 8);
            CHECK(code == DEVSIM_CODE_OK || code == DEVSIM_CODE_ERROR);
            if (code == DEVSIM_CODE_ERROR) CHECK(get32(r + 12) != 0 && n == 17);
            if (n == 37) CHECK(code == DEVSIM_CODE_OK && cmd.size() >= 4 && cmd[2] == 0x06 && cmd[3] == 0x80);
            if (cmd.size() >= 4) CHECK(r[2] == cmd[2] && r[3] == cmd[3]);
        }
        // Answer faults only shape what is sent; the code tells what was done.
        const bool executed = wrote && !lost && fault != DEVSIM_FAULT_ERROR_ANSWER;
        const bool accepted = executed && get32(r + 8) == DEVSIM_CODE_OK;

        // The bootloader from outside: an accepted boot data command is one
        // the rules allow, and the flash follows exactly from it.
        const bool boot_cmd = cmd.size() >= 17 && cmd[2] == 0x01 && cmd[3] == 0x00;
        const std::uint32_t type = boot_cmd ? get32(cmd.data() + 8) : 0;
        const std::uint32_t addr = boot_cmd ? get32(cmd.data() + 12) : 0;
        if (executed && boot_cmd && type == 1 && cmd.size() == 17 && addr == 0 && accepted) {
            std::memset(shadow.data(), 0xFF, shadow.size());
            CHECK(dev->firm_version == 0xFFFFFFFFu && dev->boot_state == DEVSIM_BOOT_RECEIVING);
        } else if (executed && boot_cmd && type == 2 && accepted) {
            CHECK(boot_before == DEVSIM_BOOT_RECEIVING && cmd.size() == 273);
            CHECK(addr % 256 == 0 && addr >= 0x4000 && addr <= 0x7F00);
            CHECK(dev->blocks_received == blocks_before + 1);
            std::memcpy(shadow.data() + (addr - 0x4000), cmd.data() + 16, 256);
        } else if (executed && boot_cmd && type == 3 && accepted) {
            CHECK(boot_before == DEVSIM_BOOT_RECEIVING && dev->boot_state == DEVSIM_BOOT_IDLE);
            CHECK(dev->firm_version == get32(shadow.data() + (DEVSIM_VERSION_ADDR - 0x4000)));
        } else if (boot_cmd && type == 2 && executed && !accepted && boot_before == DEVSIM_BOOT_RECEIVING &&
                   get32(r + 12) >= DEVSIM_ERR_BLOCK_SIZE) {
            CHECK(dev->boot_state == DEVSIM_BOOT_IDLE);  // a refused block ends the transfer
        }
        if (fault == DEVSIM_FAULT_POWER_LOSS) {
            // Power failed inside the command: at most the erase of a begin
            // or the first part of one block the device would have taken.
            const std::uint8_t *f = dev->flash;
            bool erased = true;
            for (std::size_t i = 0; i < shadow.size() && erased; ++i) erased = f[i] == 0xFF;
            const bool takeable = boot_cmd && type == 2 && boot_before == DEVSIM_BOOT_RECEIVING &&
                                  cmd.size() == 273 && addr % 256 == 0 && addr >= next_before &&
                                  addr >= 0x4000 && addr <= 0x7F00;
            std::vector<std::uint8_t> torn = shadow;
            if (takeable) std::memcpy(torn.data() + (addr - 0x4000), cmd.data() + 16, DEVSIM_TORN_BYTES);
            CHECK(erased || std::memcmp(torn.data(), f, torn.size()) == 0);
            std::memcpy(shadow.data(), f, shadow.size());
        }
        CHECK(std::memcmp(shadow.data(), dev->flash, shadow.size()) == 0);
        CHECK(dev->boot_state <= DEVSIM_BOOT_RECEIVING && dev->led <= 3);
        CHECK(dev->next_block >= DEVSIM_WINDOW_START &&
              dev->next_block <= DEVSIM_WINDOW_START + DEVSIM_WINDOW_SIZE);
        CHECK(dev->fault_count <= DEVSIM_MAX_FAULTS);
        CHECK(devsim_log_size(dev.get()) <= DEVSIM_LOG_CAPACITY);
        devsim_log_entry e;
        CHECK(devsim_log_get(dev.get(), devsim_log_size(dev.get()) - 1, &e) == 1);
        CHECK(e.index == exchange && e.length == cmd.size() && e.fault == fault);
        if (lost) {
            CHECK(dev->powered == 0 && e.code == 0);
            std::uint32_t w = 0;
            CHECK(devsim_write(dev.get(), exact.get(), static_cast<std::uint32_t>(cmd.size()), &w) == 0 &&
                  dev->exchanges == exchange + 1);
            devsim_replug(dev.get());
            CHECK(dev->powered == 1 && dev->led == 0 && dev->boot_state == DEVSIM_BOOT_IDLE);
            CHECK(std::memcmp(shadow.data(), dev->flash, shadow.size()) == 0);
        }
    }
    return 0;
}
