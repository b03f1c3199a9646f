#include "upd_support.h"

#include <cstdio>
#include <cstring>

#include "prom.h"

namespace upd_e2e {

const char kCaption[] = "R846-QVM2K Firmware updater";
const char kCommError[] = "Communication error.    ";
const char kNotFound[] =
    "R846-QVM2K cannot be found.     \nPlease connect R846-QVM2K and re-perform.    ";
const char kNotNecessary[] = "It is not necessary to update this R846-QVM2K.    ";
const char kConfirm[] = "Start updating R846-QVM2K firmware ?    ";
const char kCompleted[] = "Update has been completed.    ";
const char kImageVersionText[] = "3.62";

namespace {

// A visible dialog of the program that holds control `id`.
HWND find_dialog_with(const qvm_e2e::Program &prog, int id) {
    for (HWND wnd : prog.dialogs()) {
        if (GetDlgItem(wnd, id) != nullptr) return wnd;
    }
    return nullptr;
}

HWND wait_dialog_with(const qvm_e2e::Program &prog, int id, DWORD ms) {
    HWND found = nullptr;
    qvm_e2e::wait_until([&] { return (found = find_dialog_with(prog, id)) != nullptr; }, ms);
    return found;
}

} // namespace

HWND wait_box(const qvm_e2e::Program &prog, DWORD ms) {
    return wait_dialog_with(prog, IDOK, ms);
}

HWND wait_progress(const qvm_e2e::Program &prog, DWORD ms) {
    return wait_dialog_with(prog, kProgressBar, ms);
}

bool box_open(const qvm_e2e::Program &prog) {
    return find_dialog_with(prog, IDOK) != nullptr;
}

std::string box_text(HWND box) {
    return qvm_e2e::item_text(box, kBoxText);
}

bool answer_box(HWND box, int id) {
    qvm_e2e::click(box, id);
    return qvm_e2e::wait_gone(box);
}

bool wait_text(HWND dlg, int id, const std::string &text, std::string *seen, DWORD ms) {
    std::string last;
    bool ok = qvm_e2e::wait_until([&] { return (last = qvm_e2e::item_text(dlg, id)) == text; },
                                  ms);
    if (seen != nullptr) *seen = last;
    return ok;
}

bool query_version(Devices &dev, HWND main, const std::string &text, std::string *why,
                   std::uint32_t index) {
    const std::uint32_t asked = dev.state(index).log_total;
    qvm_e2e::click(main, kGetVer);
    if (!qvm_e2e::wait_until([&] { return dev.state(index).log_total > asked; })) {
        *why = "the device was not asked";
        return false;
    }
    std::string seen;
    if (!wait_text(main, kDevVer, text, &seen)) {
        *why = "shows \"" + seen + "\"";
        return false;
    }
    return true;
}

Devices::Devices(Keep keep) : keep_(keep) {
    if (ctl_.open() && keep_ == Keep::kFresh) ctl_.remove_all();
}

Devices::~Devices() {
    if (ctl_.is_open() && keep_ == Keep::kFresh) ctl_.remove_all();
}

bool Devices::add(std::uint32_t index, std::uint32_t firm_version) {
    devsim::DeviceConfig config = devsim::default_config(index);
    config.firm_version = firm_version;
    return ctl_.add(index, config);
}

std::vector<std::string> Devices::steps(std::uint32_t index) {
    std::vector<devsim_ioc_log_entry> log;
    std::vector<std::string> out;
    if (!ctl_.log(index, &log)) {
        out.push_back("(no log)");
        return out;
    }
    for (const devsim_ioc_log_entry &e : log) {
        char step[48];
        switch (e.cmd_id) {
        case DEVSIM_CMD_VER_GET:
            std::snprintf(step, sizeof step, "VER");
            break;
        case DEVSIM_CMD_LED_SET:
            std::snprintf(step, sizeof step, "LED%u", static_cast<unsigned>(e.param1));
            break;
        case DEVSIM_CMD_BOOTDATA:
            if (e.param1 == 1) {
                std::snprintf(step, sizeof step, "BEGIN");
            } else if (e.param1 == 3) {
                std::snprintf(step, sizeof step, "END");
            } else {
                std::snprintf(step, sizeof step, "BLOCK %X", static_cast<unsigned>(e.param2));
            }
            break;
        default:
            std::snprintf(step, sizeof step, "CMD %X", static_cast<unsigned>(e.cmd_id));
            break;
        }
        std::string s = step;
        if (e.fault == DEVSIM_FAULT_ERROR_ANSWER) {
            s += " !err";
        } else if (e.fault != DEVSIM_FAULT_NONE && e.fault != DEVSIM_FAULT_DELAY) {
            s += " !fault" + std::to_string(e.fault);
        } else if (e.code != DEVSIM_CODE_OK) {
            s += " !refused";
        }
        out.push_back(s);
    }
    return out;
}

devsim_ioc_state Devices::state(std::uint32_t index) {
    devsim_ioc_state st{};
    ctl_.state(index, &st);
    return st;
}

std::vector<std::uint8_t> Devices::flash(std::uint32_t index) {
    std::vector<std::uint8_t> bytes;
    ctl_.flash(index, &bytes);
    return bytes;
}

std::vector<std::string> transfer_steps() {
    std::vector<std::string> s = {"LED2", "BEGIN"};
    for (int n = 0; n < kBlocks; ++n) {
        char step[24];
        std::snprintf(step, sizeof step, "BLOCK %X", 0x4000 + n * 0x100);
        s.push_back(step);
    }
    s.push_back("END");
    s.push_back("LED1");
    return s;
}

std::vector<std::uint8_t> embedded_window() {
    SHEX_HEX hex;
    std::memset(&hex, 0, sizeof hex);
    unsigned long ver = 0, mcu = 0;
    char product[CLS_prom::kProductLen];
    std::vector<std::uint8_t> window;
    if (CLS_prom::prom_read(&hex, &ver, &mcu, product) == 1 && hex.edit.data != nullptr) {
        window.assign(hex.edit.data, hex.edit.data + hex.edit.len);
    }
    CLS_prom::prom_free_mem(&hex, CLS_prom::FREE_ALL);
    return window;
}

std::string join(const std::vector<std::string> &steps) {
    std::string out;
    for (const std::string &s : steps) {
        if (!out.empty()) out += ", ";
        out += s;
    }
    return out;
}

} // namespace upd_e2e
