// Control client: each call is one DeviceIoControl on the control device.
// Threads: see devsim_ctl.h (no state beyond the handle).
#include "devsim_ctl.h"

#include <cstdlib>
#include <cstring>

namespace devsim {

namespace {

struct KindName {
    std::uint32_t kind;
    const char *name;
};

const KindName kKindNames[] = {
    {DEVSIM_FAULT_NONE, "none"},
    {DEVSIM_FAULT_ERROR_ANSWER, "error"},
    {DEVSIM_FAULT_BAD_CHECKSUM, "checksum"},
    {DEVSIM_FAULT_SHORT_ANSWER, "short"},
    {DEVSIM_FAULT_NO_ANSWER, "no-answer"},
    {DEVSIM_FAULT_WRITE_FAILS, "write-fails"},
    {DEVSIM_FAULT_READ_FAILS, "read-fails"},
    {DEVSIM_FAULT_BAD_STX, "stx"},
    {DEVSIM_FAULT_BAD_ETX, "etx"},
    {DEVSIM_FAULT_DELAY, "delay"},
    {DEVSIM_FAULT_UNPLUG, "unplug"},
    {DEVSIM_FAULT_POWER_LOSS, "power-loss"},
    {DEVSIM_FAULT_HANG, "hang"},
};

}  // namespace

DeviceConfig default_config(std::uint32_t index) {
    DeviceConfig c;
    c.serial_no = static_cast<std::int32_t>(static_cast<std::uint32_t>(c.serial_no) + index);
    return c;
}

bool Control::open() {
    close();
    handle_ = CreateFileA(DEVSIM_CTL_FILE_NAME, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return is_open();
}

void Control::close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

bool Control::request(DWORD code, const void *in, DWORD in_len, void *out, DWORD out_len,
                      DWORD *got) {
    DWORD returned = 0;
    if (got != nullptr) *got = 0;
    if (!is_open()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    BOOL ok = DeviceIoControl(handle_, code, const_cast<void *>(in), in_len, out, out_len,
                              &returned, nullptr);
    if (got != nullptr) *got = returned;
    return ok != FALSE;
}

bool Control::info(devsim_ioc_info *out) {
    return request(DEVSIM_IOCTL_INFO, nullptr, 0, out, sizeof(*out));
}

bool Control::add(std::uint32_t index, const DeviceConfig &config) {
    devsim_ioc_add in{index,
                      config.firm_version,
                      config.mcu_version,
                      config.boot_version,
                      config.serial_no,
                      config.license_low,
                      config.license_high};
    return request(DEVSIM_IOCTL_ADD, &in, sizeof(in), nullptr, 0);
}

bool Control::remove(std::uint32_t index) {
    devsim_ioc_index in{index};
    return request(DEVSIM_IOCTL_REMOVE, &in, sizeof(in), nullptr, 0);
}

bool Control::remove_all() { return request(DEVSIM_IOCTL_REMOVE_ALL, nullptr, 0, nullptr, 0); }

bool Control::reset(std::uint32_t index) {
    devsim_ioc_index in{index};
    return request(DEVSIM_IOCTL_RESET, &in, sizeof(in), nullptr, 0);
}

bool Control::replug(std::uint32_t index) {
    devsim_ioc_index in{index};
    return request(DEVSIM_IOCTL_REPLUG, &in, sizeof(in), nullptr, 0);
}

bool Control::arm_fault(std::uint32_t index, std::uint32_t after, std::uint32_t kind,
                        std::uint32_t param) {
    devsim_ioc_fault in{index, after, kind, param};
    return request(DEVSIM_IOCTL_ARM_FAULT, &in, sizeof(in), nullptr, 0);
}

bool Control::clear_faults(std::uint32_t index) {
    devsim_ioc_index in{index};
    return request(DEVSIM_IOCTL_CLEAR_FAULTS, &in, sizeof(in), nullptr, 0);
}

bool Control::set_delay(std::uint32_t index, std::uint32_t ms) {
    devsim_ioc_delay in{index, ms};
    return request(DEVSIM_IOCTL_SET_DELAY, &in, sizeof(in), nullptr, 0);
}

bool Control::state(std::uint32_t index, devsim_ioc_state *out) {
    devsim_ioc_index in{index};
    std::memset(out, 0, sizeof(*out));
    return request(DEVSIM_IOCTL_STATE, &in, sizeof(in), out, sizeof(*out));
}

bool Control::log(std::uint32_t index, std::vector<devsim_ioc_log_entry> *out,
                  std::uint32_t *total) {
    out->clear();
    // The ring holds at most DEVSIM_LOG_CAPACITY entries: one request.
    std::vector<std::uint8_t> buf(sizeof(devsim_ioc_log_head) +
                                  DEVSIM_LOG_CAPACITY * sizeof(devsim_ioc_log_entry));
    devsim_ioc_log_req in{index, 0};
    DWORD got = 0;
    if (!request(DEVSIM_IOCTL_LOG, &in, sizeof(in), buf.data(), static_cast<DWORD>(buf.size()),
                 &got))
        return false;
    devsim_ioc_log_head head;
    if (got < sizeof(head)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    std::memcpy(&head, buf.data(), sizeof(head));
    std::size_t n = (got - sizeof(head)) / sizeof(devsim_ioc_log_entry);
    if (head.returned < n) n = head.returned;
    out->resize(n);
    if (n != 0)
        std::memcpy(out->data(), buf.data() + sizeof(head), n * sizeof(devsim_ioc_log_entry));
    if (total != nullptr) *total = head.total;
    return true;
}

bool Control::clear_log(std::uint32_t index) {
    devsim_ioc_index in{index};
    return request(DEVSIM_IOCTL_CLEAR_LOG, &in, sizeof(in), nullptr, 0);
}

bool Control::flash(std::uint32_t index, std::vector<std::uint8_t> *out) {
    devsim_ioc_flash_req in{index, 0, DEVSIM_WINDOW_SIZE};
    out->assign(DEVSIM_WINDOW_SIZE, 0);
    DWORD got = 0;
    if (!request(DEVSIM_IOCTL_FLASH, &in, sizeof(in), out->data(),
                 static_cast<DWORD>(out->size()), &got)) {
        out->clear();
        return false;
    }
    out->resize(got);
    return true;
}

const char *fault_kind_name(std::uint32_t kind) {
    for (const KindName &k : kKindNames)
        if (k.kind == kind) return k.name;
    return "?";
}

bool parse_fault_kind(const char *text, std::uint32_t *kind) {
    if (text == nullptr || *text == '\0') return false;
    for (const KindName &k : kKindNames) {
        if (std::strcmp(k.name, text) == 0) {
            *kind = k.kind;
            return true;
        }
    }
    char *end = nullptr;
    unsigned long v = std::strtoul(text, &end, 0);
    if (*end != '\0' || v >= DEVSIM_FAULT_KIND_COUNT) return false;
    *kind = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace devsim
