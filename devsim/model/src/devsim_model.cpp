// The simulated device's firmware: frame checks, the three commands, the
// bootloader's flash window, armed faults and the exchange log.
//
// Freestanding: no heap, exceptions, RTTI, standard library or static
// objects, so that the kernel driver links this unit as it is. Byte copies
// and fills are plain loops. The caller serialises all calls on one device.
#include "devsim_model.h"

#include <stddef.h>
#include <stdint.h>

namespace {

const uint8_t kStx = 0x02;
const uint8_t kEtx = 0x03;
const uint32_t kHeaderLen = 16;  // stx, sum, id, len, param1, param2
const uint32_t kMinFrame = kHeaderLen + 1;
const uint32_t kVersionPayload = 20;
const uint32_t kNoFirmware = 0xFFFFFFFFu;

const uint32_t kBootBegin = 1;
const uint32_t kBootBlock = 2;
const uint32_t kBootEnd = 3;

uint32_t get16(const uint8_t *p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }

uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void fill(uint8_t *p, uint32_t n, uint8_t v) {
    for (uint32_t i = 0; i < n; ++i) p[i] = v;
}

void copy(uint8_t *dst, const uint8_t *src, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) dst[i] = src[i];
}

uint8_t checksum(const uint8_t *p, uint32_t n) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (i != 1) sum += p[i];
    }
    return static_cast<uint8_t>(sum);
}

// What one command made of the device: the answer's code, device error code
// (0 when accepted), param2 and payload.
struct Outcome {
    uint32_t error;
    uint32_t param2;
    const uint8_t *payload;
    uint32_t payload_len;
};

Outcome accepted(uint32_t param2) { return Outcome{0, param2, nullptr, 0}; }
Outcome refused(uint32_t error) { return Outcome{error, error, nullptr, 0}; }

// The fault armed for this exchange, removed from the table; NONE otherwise.
devsim_fault take_fault(devsim_device *dev, uint32_t exchange) {
    devsim_fault none = {exchange, DEVSIM_FAULT_NONE, 0};
    for (uint32_t i = 0; i < dev->fault_count; ++i) {
        if (dev->faults[i].at_exchange != exchange) continue;
        devsim_fault found = dev->faults[i];
        for (uint32_t j = i + 1; j < dev->fault_count; ++j) dev->faults[j - 1] = dev->faults[j];
        --dev->fault_count;
        return found;
    }
    return none;
}

void erase_window(devsim_device *dev) { fill(dev->flash, DEVSIM_WINDOW_SIZE, 0xFF); }

uint32_t stored_version(const devsim_device *dev) {
    return get32(dev->flash + (DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START));
}

// Frame checks, in the order the manual gives. 0 when the frame is sound.
uint32_t check_frame(const uint8_t *data, uint32_t len) {
    if (len == 0) return DEVSIM_ERR_BAD_LEN;
    if (data[0] != kStx) return DEVSIM_ERR_BAD_STX;
    if (len < kMinFrame) return DEVSIM_ERR_BAD_LEN;
    if (len > DEVSIM_MAX_COMMAND) return DEVSIM_ERR_TOO_LONG;
    if (get32(data + 4) != len) return DEVSIM_ERR_BAD_LEN;
    if (data[len - 1] != kEtx) return DEVSIM_ERR_BAD_ETX;
    if (checksum(data, len) != data[1]) return DEVSIM_ERR_BAD_SUM;
    return 0;
}

Outcome version_get(devsim_device *dev, uint32_t param1, uint32_t param2, uint32_t payload_len,
                    uint8_t *scratch) {
    if (param1 != 0 || param2 != 0 || payload_len != 0) return refused(DEVSIM_ERR_BAD_PARAM);
    const devsim_config &c = dev->config;
    put32(scratch + 0, dev->firm_version);
    put16(scratch + 4, c.mcu_version);
    put16(scratch + 6, 0);
    // The host undoes this by XOR with the mask, then inverting.
    put32(scratch + 8, ~(c.license_low ^ DEVSIM_LICENSE_MASK_LOW));
    put32(scratch + 12, ~(static_cast<uint32_t>(c.license_high) ^ DEVSIM_LICENSE_MASK_HIGH));
    put32(scratch + 16, static_cast<uint32_t>(c.serial_no));
    Outcome out = accepted(c.boot_version);
    out.payload = scratch;
    out.payload_len = kVersionPayload;
    return out;
}

Outcome led_set(devsim_device *dev, uint32_t param1, uint32_t param2, uint32_t payload_len) {
    if (param1 < 1 || param1 > 3 || param2 != 0 || payload_len != 0) {
        return refused(DEVSIM_ERR_BAD_PARAM);
    }
    dev->led = param1;
    return accepted(0);
}

// The block rules in the manual's order; 0 when the block may be written.
uint32_t block_error(const devsim_device *dev, uint32_t addr, uint32_t payload_len) {
    if (dev->boot_state != DEVSIM_BOOT_RECEIVING) return DEVSIM_ERR_NOT_IN_BOOT;
    if (payload_len != DEVSIM_BLOCK_SIZE) return DEVSIM_ERR_BLOCK_SIZE;
    if (addr % DEVSIM_BLOCK_SIZE != 0) return DEVSIM_ERR_BLOCK_ALIGN;
    if (addr < DEVSIM_WINDOW_START ||
        addr - DEVSIM_WINDOW_START > DEVSIM_WINDOW_SIZE - DEVSIM_BLOCK_SIZE)
        return DEVSIM_ERR_BLOCK_RANGE;
    if (addr < dev->next_block) return DEVSIM_ERR_BLOCK_ORDER;
    return 0;
}

Outcome boot_block(devsim_device *dev, uint32_t addr, const uint8_t *payload,
                   uint32_t payload_len) {
    const uint32_t error = block_error(dev, addr, payload_len);
    if (error == DEVSIM_ERR_NOT_IN_BOOT) return refused(error);
    if (error != 0) {
        // A transfer with a rejected block must never be committed.
        dev->boot_state = DEVSIM_BOOT_IDLE;
        return refused(error);
    }
    copy(dev->flash + (addr - DEVSIM_WINDOW_START), payload, DEVSIM_BLOCK_SIZE);
    dev->next_block = addr + DEVSIM_BLOCK_SIZE;
    ++dev->blocks_received;
    return accepted(0);
}

Outcome boot_data(devsim_device *dev, uint32_t type, uint32_t param2, const uint8_t *payload,
                  uint32_t payload_len) {
    if (type == kBootBlock) return boot_block(dev, param2, payload, payload_len);
    if ((type != kBootBegin && type != kBootEnd) || param2 != 0 || payload_len != 0) {
        return refused(DEVSIM_ERR_BAD_PARAM);
    }
    if (type == kBootBegin) {
        erase_window(dev);
        dev->firm_version = kNoFirmware;
        dev->boot_state = DEVSIM_BOOT_RECEIVING;
        dev->next_block = DEVSIM_WINDOW_START;
        dev->blocks_received = 0;
        return accepted(0);
    }
    if (dev->boot_state != DEVSIM_BOOT_RECEIVING) return refused(DEVSIM_ERR_NOT_IN_BOOT);
    dev->boot_state = DEVSIM_BOOT_IDLE;
    dev->firm_version = stored_version(dev);
    ++dev->commits;
    return accepted(0);
}

Outcome execute(devsim_device *dev, const uint8_t *frame, uint32_t len, uint8_t *scratch) {
    uint32_t id = get16(frame + 2);
    uint32_t param1 = get32(frame + 8);
    uint32_t param2 = get32(frame + 12);
    const uint8_t *payload = frame + kHeaderLen;
    uint32_t payload_len = len - kMinFrame;
    switch (id) {
    case DEVSIM_CMD_VER_GET:
        return version_get(dev, param1, param2, payload_len, scratch);
    case DEVSIM_CMD_LED_SET:
        return led_set(dev, param1, param2, payload_len);
    case DEVSIM_CMD_BOOTDATA:
        return boot_data(dev, param1, param2, payload, payload_len);
    default:
        return refused(DEVSIM_ERR_UNKNOWN_CMD);
    }
}

// What a well-framed command leaves behind when power fails while the
// device runs it: the flash work it had started, nothing after it (no
// commit, no LED, no block count, no answer).
void power_fails_during(devsim_device *dev, const uint8_t *frame, uint32_t len) {
    if (get16(frame + 2) != DEVSIM_CMD_BOOTDATA) return;
    const uint32_t type = get32(frame + 8);
    const uint32_t addr = get32(frame + 12);
    if (type == kBootBegin && addr == 0 && len == kMinFrame) {
        // The erase comes first: the old firmware is gone.
        erase_window(dev);
        dev->firm_version = kNoFirmware;
        dev->boot_state = DEVSIM_BOOT_RECEIVING;
        return;
    }
    if (type != kBootBlock || block_error(dev, addr, len - kMinFrame) != 0) return;
    copy(dev->flash + (addr - DEVSIM_WINDOW_START), frame + kHeaderLen, DEVSIM_TORN_BYTES);
}

// Frames the answer into dev->response.
void build_response(devsim_device *dev, uint32_t id, const Outcome &out) {
    uint8_t *r = dev->response;
    uint32_t len = kMinFrame + out.payload_len;
    r[0] = kStx;
    r[1] = 0;
    put16(r + 2, id);
    put32(r + 4, len);
    put32(r + 8, out.error == 0 ? DEVSIM_CODE_OK : DEVSIM_CODE_ERROR);
    put32(r + 12, out.param2);
    copy(r + kHeaderLen, out.payload, out.payload_len);
    r[len - 1] = kEtx;
    r[1] = checksum(r, len);
    dev->response_len = len;
}

// Shapes the prepared answer as the fault asks.
void apply_answer_fault(devsim_device *dev, const devsim_fault &f) {
    uint8_t *r = dev->response;
    uint32_t len = dev->response_len;
    switch (f.kind) {
    case DEVSIM_FAULT_BAD_CHECKSUM:
        r[1] = static_cast<uint8_t>(r[1] + 1);
        break;
    case DEVSIM_FAULT_SHORT_ANSWER: {
        uint32_t cut = f.param == 0 ? 1 : f.param;
        dev->response_len = cut >= len ? 0 : len - cut;
        break;
    }
    case DEVSIM_FAULT_NO_ANSWER:
        dev->response_len = 0;
        break;
    case DEVSIM_FAULT_BAD_STX:
        r[0] = 0x00;
        r[1] = static_cast<uint8_t>(r[1] - kStx);
        break;
    case DEVSIM_FAULT_BAD_ETX:
        r[len - 1] = 0x00;
        r[1] = static_cast<uint8_t>(r[1] - kEtx);
        break;
    case DEVSIM_FAULT_DELAY:
        dev->pending_delay_ms = f.param;
        break;
    default:
        break;
    }
}

void log_exchange(devsim_device *dev, const devsim_log_entry &e) {
    dev->log[dev->log_count % DEVSIM_LOG_CAPACITY] = e;
    ++dev->log_count;
}

// Header fields as far as the write covers them.
uint32_t field(const uint8_t *data, uint32_t len, uint32_t offset, uint32_t size) {
    if (len < offset + size) return 0;
    return size == 2 ? get16(data + offset) : get32(data + offset);
}

}  // namespace

extern "C" {

void devsim_default_config(devsim_config *config) { devsim_indexed_config(config, 0); }

void devsim_indexed_config(devsim_config *config, uint32_t index) {
    if (config == nullptr) return;
    config->firm_version = DEVSIM_DEFAULT_FIRM_VERSION;
    config->mcu_version = DEVSIM_DEFAULT_MCU_VERSION;
    config->boot_version = DEVSIM_DEFAULT_BOOT_VERSION;
    config->serial_no =
        static_cast<int32_t>(static_cast<uint32_t>(DEVSIM_DEFAULT_SERIAL) + index);
    config->license_low = DEVSIM_DEFAULT_LICENSE_LOW;
    config->license_high = DEVSIM_DEFAULT_LICENSE_HIGH;
}

void devsim_init(devsim_device *dev, const devsim_config *config) {
    if (dev == nullptr) return;
    if (config != nullptr) {
        dev->config = *config;
    } else {
        devsim_default_config(&dev->config);
    }
    dev->firm_version = dev->config.firm_version;
    dev->commits = 0;
    erase_window(dev);
    put32(dev->flash + (DEVSIM_VERSION_ADDR - DEVSIM_WINDOW_START), dev->firm_version);
    dev->exchanges = 0;
    fill(dev->response, DEVSIM_MAX_RESPONSE, 0);
    dev->log_count = 0;
    devsim_replug(dev);  // power, LED, transfer, answer and faults as after a plug-in
}

int devsim_write(devsim_device *dev, const uint8_t *data, uint32_t len, uint32_t *written) {
    if (written != nullptr) *written = 0;
    if (dev == nullptr || dev->powered == 0) return 0;
    if (data == nullptr) len = 0;

    uint32_t exchange = dev->exchanges++;
    devsim_fault f = take_fault(dev, exchange);
    dev->response_pending = 0;
    dev->response_len = 0;
    dev->read_fault = f.kind;
    dev->pending_delay_ms = 0;
    dev->hang = DEVSIM_HANG_NONE;
    if (f.kind == DEVSIM_FAULT_HANG) dev->hang = f.param == 0 ? DEVSIM_HANG_READ : DEVSIM_HANG_WRITE;

    devsim_log_entry e;
    e.index = exchange;
    e.cmd_id = static_cast<uint16_t>(field(data, len, 2, 2));
    e.param1 = field(data, len, 8, 4);
    e.param2 = field(data, len, 12, 4);
    e.length = len;
    e.code = 0;
    e.error = 0;
    e.fault = f.kind;

    if (f.kind == DEVSIM_FAULT_WRITE_FAILS || f.kind == DEVSIM_FAULT_UNPLUG ||
        dev->hang == DEVSIM_HANG_WRITE) {
        if (f.kind == DEVSIM_FAULT_UNPLUG) dev->powered = 0;
        log_exchange(dev, e);
        return 0;
    }
    if (f.kind == DEVSIM_FAULT_POWER_LOSS) {
        if (check_frame(data, len) == 0) power_fails_during(dev, data, len);
        dev->powered = 0;
        log_exchange(dev, e);
        if (written != nullptr) *written = len;
        return 1;
    }

    uint8_t scratch[kVersionPayload];
    Outcome out;
    if (f.kind == DEVSIM_FAULT_ERROR_ANSWER) {
        out = refused(f.param != 0 ? f.param : DEVSIM_ERR_INJECTED);
    } else {
        uint32_t bad = check_frame(data, len);
        out = bad != 0 ? refused(bad) : execute(dev, data, len, scratch);
    }
    build_response(dev, e.cmd_id, out);
    apply_answer_fault(dev, f);
    dev->response_pending = 1;

    bool answered = f.kind != DEVSIM_FAULT_NO_ANSWER && f.kind != DEVSIM_FAULT_READ_FAILS &&
                    f.kind != DEVSIM_FAULT_HANG;
    e.code = answered ? (out.error == 0 ? DEVSIM_CODE_OK : DEVSIM_CODE_ERROR) : 0;
    e.error = out.error;
    log_exchange(dev, e);
    if (written != nullptr) *written = len;
    return 1;
}

uint32_t devsim_hang(const devsim_device *dev) { return dev != nullptr ? dev->hang : 0; }

uint32_t devsim_pending_delay(const devsim_device *dev) {
    if (dev == nullptr || dev->response_pending == 0) return 0;
    return dev->pending_delay_ms;
}

int devsim_read(devsim_device *dev, uint8_t *buf, uint32_t capacity, uint32_t *got) {
    if (got != nullptr) *got = 0;
    if (dev == nullptr || dev->powered == 0 || dev->response_pending == 0) return 0;
    if (dev->hang == DEVSIM_HANG_READ) return 0;  // never answered, however often asked
    dev->response_pending = 0;
    dev->pending_delay_ms = 0;
    if (dev->read_fault == DEVSIM_FAULT_READ_FAILS) return 0;
    uint32_t n = dev->response_len < capacity ? dev->response_len : capacity;
    if (buf == nullptr) n = 0;
    copy(buf, dev->response, n);
    if (got != nullptr) *got = n;
    return 1;
}

void devsim_replug(devsim_device *dev) {
    if (dev == nullptr) return;
    dev->powered = 1;
    dev->led = 0;
    dev->boot_state = DEVSIM_BOOT_IDLE;
    dev->next_block = DEVSIM_WINDOW_START;
    dev->blocks_received = 0;
    dev->response_len = 0;
    dev->response_pending = 0;
    dev->read_fault = DEVSIM_FAULT_NONE;
    dev->pending_delay_ms = 0;
    dev->hang = DEVSIM_HANG_NONE;
    dev->fault_count = 0;
}

int devsim_arm_fault(devsim_device *dev, uint32_t after, uint32_t kind, uint32_t param) {
    if (dev == nullptr) return 0;
    if (kind == DEVSIM_FAULT_NONE || kind >= DEVSIM_FAULT_KIND_COUNT) return 0;
    if (dev->fault_count >= DEVSIM_MAX_FAULTS) return 0;
    uint32_t at = dev->exchanges + after;
    if (at < dev->exchanges) return 0;  // beyond the exchange counter's range
    for (uint32_t i = 0; i < dev->fault_count; ++i) {
        if (dev->faults[i].at_exchange == at) return 0;
    }
    dev->faults[dev->fault_count++] = devsim_fault{at, kind, param};
    return 1;
}

void devsim_clear_faults(devsim_device *dev) {
    if (dev != nullptr) dev->fault_count = 0;
}

uint32_t devsim_log_size(const devsim_device *dev) {
    if (dev == nullptr) return 0;
    return dev->log_count < DEVSIM_LOG_CAPACITY ? dev->log_count : DEVSIM_LOG_CAPACITY;
}

int devsim_log_get(const devsim_device *dev, uint32_t i, devsim_log_entry *out) {
    uint32_t size = devsim_log_size(dev);
    if (i >= size || out == nullptr) return 0;
    uint32_t oldest = dev->log_count - size;
    *out = dev->log[(oldest + i) % DEVSIM_LOG_CAPACITY];
    return 1;
}

void devsim_log_clear(devsim_device *dev) {
    if (dev != nullptr) dev->log_count = 0;
}

int devsim_flash_read(const devsim_device *dev, uint32_t addr, uint8_t *buf, uint32_t len) {
    if (dev == nullptr || buf == nullptr || len == 0) return 0;
    if (addr < DEVSIM_WINDOW_START) return 0;
    uint32_t off = addr - DEVSIM_WINDOW_START;
    if (off >= DEVSIM_WINDOW_SIZE || len > DEVSIM_WINDOW_SIZE - off) return 0;
    copy(buf, dev->flash + off, len);
    return 1;
}

}  // extern "C"
