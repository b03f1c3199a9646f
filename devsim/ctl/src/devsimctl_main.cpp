// devsimctl: configure and inspect simulated R846-QVM2K devices from the
// command line (tests, the demo, people testing by hand). One command per
// run; exit status 0 on success, 1 when the driver refuses, 2 on bad usage.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "devsim_ctl.h"

namespace {

const char kUsage[] =
    "usage: devsimctl COMMAND ...\n"
    "  ping                      check that the driver answers\n"
    "  list                      plugged-in device indices\n"
    "  add N [firm=V] [mcu=V] [boot=V] [serial=S] [license=LOW[:HIGH]]\n"
    "                            plug in device N (firm: 3.50, 350, 0x...; none = no firmware)\n"
    "  remove N | remove all     unplug\n"
    "  reset N                   power cycle device N (flash, log, faults cleared)\n"
    "  replug N                  pull device N out and put it back (also after an\n"
    "                            unplug or power-loss fault); flash and firmware kept\n"
    "  fault N AFTER KIND [P]    arm a fault AFTER exchanges from now (0 = next);\n"
    "                            KIND: error checksum short no-answer write-fails\n"
    "                            read-fails stx etx delay unplug power-loss hang,\n"
    "                            or its number (hang: P 0 the read never ends,\n"
    "                            1 the write never ends)\n"
    "  clear-faults N\n"
    "  delay N MS                wait MS before every answer of device N\n"
    "  state N | led N           device state / last LED type set\n"
    "  log N [clear]             exchange log (or clear it)\n"
    "  flash N [FILE]            flash window 0x4000..0x7FFF to FILE or stdout\n";

bool parse_u32(const char *text, std::uint32_t *out) {
    if (text == nullptr || *text == '\0') return false;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull || text[0] == '-') return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

bool parse_i32(const char *text, std::int32_t *out) {
    if (text == nullptr || *text == '\0') return false;
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 0);
    if (*end != '\0' || v < -2147483648LL || v > 0xFFFFFFFFLL) return false;
    *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return true;
}

// "3.50" -> 350, "none" -> no firmware, otherwise a plain number.
bool parse_version(const char *text, std::uint32_t *out) {
    if (std::strcmp(text, "none") == 0) {
        *out = 0xFFFFFFFFu;
        return true;
    }
    const char *dot = std::strchr(text, '.');
    if (dot == nullptr) return parse_u32(text, out);
    std::string whole(text, dot);
    std::string frac(dot + 1);
    std::uint32_t w = 0, f = 0;
    if (frac.empty() || frac.size() > 2 || !parse_u32(whole.c_str(), &w) ||
        frac.find_first_not_of("0123456789") != std::string::npos || !parse_u32(frac.c_str(), &f))
        return false;
    if (frac.size() == 1) f *= 10;
    if (w > 655) return false;
    *out = w * 100 + f;
    return true;
}

bool parse_index(const char *text, std::uint32_t *index) {
    return parse_u32(text, index) && *index < DEVSIM_MAX_DEVICES;
}

int fail(const char *what) {
    DWORD err = GetLastError();
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0,
                   text, sizeof(text), nullptr);
    for (char *p = text; *p != '\0'; ++p)
        if (*p == '\r' || *p == '\n') *p = '\0';
    std::fprintf(stderr, "devsimctl: %s: error %lu %s\n", what, static_cast<unsigned long>(err),
                 text);
    return 1;
}

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int cmd_add(devsim::Control &ctl, std::uint32_t index, int argc, char **argv) {
    devsim::DeviceConfig config = devsim::default_config(index);
    for (int i = 0; i < argc; ++i) {
        const char *eq = std::strchr(argv[i], '=');
        if (eq == nullptr) return usage();
        std::string key(argv[i], static_cast<std::size_t>(eq - argv[i]));
        const char *value = eq + 1;
        bool ok = false;
        if (key == "firm") {
            ok = parse_version(value, &config.firm_version);
        } else if (key == "mcu") {
            ok = parse_u32(value, &config.mcu_version) && config.mcu_version <= 0xFFFF;
        } else if (key == "boot") {
            ok = parse_u32(value, &config.boot_version);
        } else if (key == "serial") {
            ok = parse_i32(value, &config.serial_no);
        } else if (key == "license") {
            std::string v(value);
            std::size_t colon = v.find(':');
            ok = parse_u32(v.substr(0, colon).c_str(), &config.license_low);
            if (ok && colon != std::string::npos)
                ok = parse_i32(v.substr(colon + 1).c_str(), &config.license_high);
        }
        if (!ok) {
            std::fprintf(stderr, "devsimctl: bad value: %s\n", argv[i]);
            return 2;
        }
    }
    return ctl.add(index, config) ? 0 : fail("add");
}

int cmd_state(devsim::Control &ctl, std::uint32_t index, bool led_only) {
    devsim_ioc_state st;
    if (!ctl.state(index, &st)) return fail("state");
    if (led_only) {
        std::printf("%lu\n", static_cast<unsigned long>(st.led));
        return 0;
    }
    std::printf(
        "index=%lu firm_version=0x%08lX led=%lu boot_state=%lu blocks_received=%lu commits=%lu\n"
        "exchanges=%lu log_total=%lu log_kept=%lu faults_armed=%lu delay_ms=%lu "
        "open_handles=%lu plugged=%lu reads_pending=%lu\n",
        static_cast<unsigned long>(st.index), static_cast<unsigned long>(st.firm_version),
        static_cast<unsigned long>(st.led), static_cast<unsigned long>(st.boot_state),
        static_cast<unsigned long>(st.blocks_received), static_cast<unsigned long>(st.commits),
        static_cast<unsigned long>(st.exchanges), static_cast<unsigned long>(st.log_total),
        static_cast<unsigned long>(st.log_kept), static_cast<unsigned long>(st.faults_armed),
        static_cast<unsigned long>(st.delay_ms), static_cast<unsigned long>(st.open_handles),
        static_cast<unsigned long>(st.plugged), static_cast<unsigned long>(st.reads_pending));
    return 0;
}

int cmd_log(devsim::Control &ctl, std::uint32_t index) {
    std::vector<devsim_ioc_log_entry> entries;
    std::uint32_t total = 0;
    if (!ctl.log(index, &entries, &total)) return fail("log");
    std::printf("# %lu exchanges logged, %lu kept\n", static_cast<unsigned long>(total),
                static_cast<unsigned long>(entries.size()));
    std::printf("#   n    cmd     param1     param2  len  code      error  fault\n");
    for (const devsim_ioc_log_entry &e : entries) {
        std::printf("%5lu 0x%04lX 0x%08lX 0x%08lX %4lu 0x%02lX 0x%08lX  %s\n",
                    static_cast<unsigned long>(e.index), static_cast<unsigned long>(e.cmd_id),
                    static_cast<unsigned long>(e.param1), static_cast<unsigned long>(e.param2),
                    static_cast<unsigned long>(e.length), static_cast<unsigned long>(e.code),
                    static_cast<unsigned long>(e.error), devsim::fault_kind_name(e.fault));
    }
    return 0;
}

int cmd_flash(devsim::Control &ctl, std::uint32_t index, const char *path) {
    std::vector<std::uint8_t> bytes;
    if (!ctl.flash(index, &bytes)) return fail("flash");
    FILE *out = stdout;
    if (path != nullptr) {
        out = std::fopen(path, "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "devsimctl: cannot write %s\n", path);
            return 1;
        }
    } else {
        _setmode(_fileno(stdout), _O_BINARY);
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = (path != nullptr ? std::fclose(out) == 0 : std::fflush(out) == 0) && ok;
    if (!ok) std::fprintf(stderr, "devsimctl: writing the flash contents failed\n");
    return ok ? 0 : 1;
}

int run(int argc, char **argv) {
    if (argc < 2) return usage();
    std::string cmd = argv[1];
    devsim::Control ctl;
    if (!ctl.open()) return fail("cannot open " DEVSIM_CTL_FILE_NAME " (driver not running?)");

    if (cmd == "ping") {
        devsim_ioc_info info;
        if (!ctl.info(&info)) return fail("info");
        if (info.abi_version != DEVSIM_ABI_VERSION) {
            std::fprintf(stderr, "devsimctl: driver speaks version %lu, expected %u\n",
                         static_cast<unsigned long>(info.abi_version), DEVSIM_ABI_VERSION);
            return 1;
        }
        return 0;
    }
    if (cmd == "list") {
        devsim_ioc_info info;
        if (!ctl.info(&info)) return fail("info");
        for (std::uint32_t i = 0; i < DEVSIM_MAX_DEVICES; ++i)
            if (info.present[i] != 0) std::printf("%lu\n", static_cast<unsigned long>(i));
        return 0;
    }
    if (cmd == "remove" && argc == 3 && std::strcmp(argv[2], "all") == 0)
        return ctl.remove_all() ? 0 : fail("remove all");

    std::uint32_t index = 0;
    if (argc < 3 || !parse_index(argv[2], &index)) return usage();
    if (cmd == "add") return cmd_add(ctl, index, argc - 3, argv + 3);
    if (cmd == "remove" && argc == 3) return ctl.remove(index) ? 0 : fail("remove");
    if (cmd == "reset" && argc == 3) return ctl.reset(index) ? 0 : fail("reset");
    if (cmd == "replug" && argc == 3) return ctl.replug(index) ? 0 : fail("replug");
    if (cmd == "clear-faults" && argc == 3)
        return ctl.clear_faults(index) ? 0 : fail("clear-faults");
    if (cmd == "state" && argc == 3) return cmd_state(ctl, index, false);
    if (cmd == "led" && argc == 3) return cmd_state(ctl, index, true);
    if (cmd == "log" && argc == 3) return cmd_log(ctl, index);
    if (cmd == "log" && argc == 4 && std::strcmp(argv[3], "clear") == 0)
        return ctl.clear_log(index) ? 0 : fail("log clear");
    if (cmd == "flash" && (argc == 3 || argc == 4))
        return cmd_flash(ctl, index, argc == 4 ? argv[3] : nullptr);
    if (cmd == "delay" && argc == 4) {
        std::uint32_t ms = 0;
        if (!parse_u32(argv[3], &ms)) return usage();
        return ctl.set_delay(index, ms) ? 0 : fail("delay");
    }
    if (cmd == "fault" && (argc == 5 || argc == 6)) {
        std::uint32_t after = 0, kind = 0, param = 0;
        if (!parse_u32(argv[3], &after) || !devsim::parse_fault_kind(argv[4], &kind) ||
            (argc == 6 && !parse_u32(argv[5], &param)))
            return usage();
        return ctl.arm_fault(index, after, kind, param) ? 0 : fail("fault");
    }
    return usage();
}

}  // namespace

int main(int argc, char **argv) { return run(argc, argv); }
