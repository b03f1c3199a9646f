/* The simulated R846-QVM2K: what the device's firmware does with each
 * command, written once in freestanding C++ (no heap, exceptions, RTTI or
 * standard library) behind this C interface, so that the same source builds
 * into the kernel driver (C shell) and into native tests.
 *
 * One devsim_device is one device. The caller owns its storage (it is a plain
 * record; the driver keeps it in non-paged pool) and serialises the calls on
 * one device: the model takes no locks and never blocks or sleeps.
 *
 * Exchange: one devsim_write is one command message; it prepares the whole
 * response, which the following devsim_read returns. Every exchange (every
 * write) is numbered from 0 since devsim_init and logged.
 *
 * Wire protocol (little-endian): stx 0x02, sum, id(2), len(4), param1(4),
 * param2(4), payload, end 0x03; sum = 8-bit sum of all len bytes with the
 * sum byte taken as 0. A response echoes the command's id (0 when fewer than
 * 4 bytes were written) and has code 0x55 in param1 when accepted, otherwise
 * DEVSIM_CODE_ERROR in param1's place and the device error code
 * (DEVSIM_ERR_*) in param2. Only the version answer has a payload.
 *
 * A frame is checked in this order, the first failure deciding the answer:
 * no bytes (BAD_LEN), first byte (BAD_STX), fewer than 17 bytes (BAD_LEN),
 * more than DEVSIM_MAX_COMMAND bytes (TOO_LONG), len field against the bytes
 * written (BAD_LEN), last byte (BAD_ETX), checksum (BAD_SUM); then the
 * command id and its parameters. devsim/README.md is the full manual. */
#ifndef DEVSIM_MODEL_H
#define DEVSIM_MODEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device addresses of the flash window that the bootloader writes. */
#define DEVSIM_WINDOW_START 0x4000u
#define DEVSIM_WINDOW_SIZE 0x4000u
#define DEVSIM_BLOCK_SIZE 0x100u
/* Where the committed image keeps its firmware version. */
#define DEVSIM_VERSION_ADDR 0x7F00u

/* Command ids. */
#define DEVSIM_CMD_BOOTDATA 0x0001u
#define DEVSIM_CMD_VER_GET 0x8006u
#define DEVSIM_CMD_LED_SET 0x8009u

/* license_bit goes on the wire as (value ^ mask) inverted, per half. */
#define DEVSIM_LICENSE_MASK_LOW 0x5A3C96E1u
#define DEVSIM_LICENSE_MASK_HIGH 0xC3A55A3Cu

/* Response codes: accepted, and the code of an error answer. */
#define DEVSIM_CODE_OK 0x55u
#define DEVSIM_CODE_ERROR 0x01u

/* Device error codes, sent in param2 of an error answer. */
#define DEVSIM_ERR_BAD_STX 0x0101u        /* first byte not 0x02 */
#define DEVSIM_ERR_BAD_SUM 0x0102u        /* checksum mismatch */
#define DEVSIM_ERR_BAD_LEN 0x0103u        /* len field differs from bytes written, or fewer than 17 bytes */
#define DEVSIM_ERR_BAD_ETX 0x0104u        /* last byte not 0x03 */
#define DEVSIM_ERR_UNKNOWN_CMD 0x0105u    /* command id not known */
#define DEVSIM_ERR_BAD_PARAM 0x0106u      /* LED or boot data type not 1..3, an unused parameter not 0, or a payload where none belongs */
#define DEVSIM_ERR_TOO_LONG 0x0107u       /* more than DEVSIM_MAX_COMMAND bytes written */
#define DEVSIM_ERR_NOT_IN_BOOT 0x0201u    /* data block or end without a begin */
#define DEVSIM_ERR_BLOCK_SIZE 0x0202u     /* data block payload not 256 bytes */
#define DEVSIM_ERR_BLOCK_ALIGN 0x0203u    /* block address not a multiple of 256 */
#define DEVSIM_ERR_BLOCK_RANGE 0x0204u    /* block outside 0x4000..0x7FFF */
#define DEVSIM_ERR_BLOCK_ORDER 0x0205u    /* block address not above the previous one */
#define DEVSIM_ERR_INJECTED 0x00EEu       /* default code of an armed error answer */

/* Largest command the device takes (a 256-byte block is 273 bytes). */
#define DEVSIM_MAX_COMMAND 512u
#define DEVSIM_MAX_RESPONSE 64u

/* Faults that can be armed for one exchange. */
enum devsim_fault_kind {
    DEVSIM_FAULT_NONE = 0,
    DEVSIM_FAULT_ERROR_ANSWER = 1, /* command refused (not executed): error answer, param2 = fault param or DEVSIM_ERR_INJECTED */
    DEVSIM_FAULT_BAD_CHECKSUM = 2, /* executed; the answer's sum is off by one */
    DEVSIM_FAULT_SHORT_ANSWER = 3, /* executed; the answer lacks its last (param, at least 1) bytes */
    DEVSIM_FAULT_NO_ANSWER = 4,    /* executed; the read returns no bytes */
    DEVSIM_FAULT_WRITE_FAILS = 5,  /* the write fails; nothing is executed */
    DEVSIM_FAULT_READ_FAILS = 6,   /* executed; the read fails */
    DEVSIM_FAULT_BAD_STX = 7,      /* executed; the answer starts with 0x00 (sum kept right) */
    DEVSIM_FAULT_BAD_ETX = 8,      /* executed; the answer ends with 0x00 (sum kept right) */
    DEVSIM_FAULT_DELAY = 9,        /* executed normally; the host waits param ms before answering */
    DEVSIM_FAULT_UNPLUG = 10,      /* pulled out as the command arrives: not executed, the write fails */
    DEVSIM_FAULT_POWER_LOSS = 11,  /* power fails while the command runs: a block is left torn, no answer */
    DEVSIM_FAULT_HANG = 12,        /* the device stops responding: param 0 the read never ends (command
                                      executed), otherwise the write never ends (not executed) */
    DEVSIM_FAULT_KIND_COUNT = 13
};

/* What the host must hold back for the current exchange (devsim_hang). */
enum devsim_hang_kind { DEVSIM_HANG_NONE = 0, DEVSIM_HANG_READ = 1, DEVSIM_HANG_WRITE = 2 };

/* Bytes of a data block that reach the flash when power fails during its
 * write; the rest of the block stays erased (0xFF). */
#define DEVSIM_TORN_BYTES 128u

/* The one default simulated device: firmware 3.40, an ordinary license,
 * and serial numbers DEVSIM_DEFAULT_SERIAL + index, so that each device of
 * a bench has its own. */
#define DEVSIM_DEFAULT_FIRM_VERSION 0x0154u /* 3.40 */
#define DEVSIM_DEFAULT_MCU_VERSION 0x0102u
#define DEVSIM_DEFAULT_BOOT_VERSION 0x00010005u
#define DEVSIM_DEFAULT_SERIAL 84600001
#define DEVSIM_DEFAULT_LICENSE_LOW 0x00000001u
#define DEVSIM_DEFAULT_LICENSE_HIGH 0

/* What a device holds when it is plugged in. */
struct devsim_config {
    uint32_t firm_version; /* 0xFFFFFFFF: no firmware */
    uint16_t mcu_version;
    uint32_t boot_version;
    int32_t serial_no;
    uint32_t license_low; /* plain values; scrambled on the wire */
    int32_t license_high;
};

/* One logged exchange. */
struct devsim_log_entry {
    uint32_t index;    /* exchange number since devsim_init */
    uint16_t cmd_id;   /* header fields as written, even in a bad frame; */
    uint32_t param1;   /* a field the write does not cover reads 0 */
    uint32_t param2;
    uint32_t length;   /* bytes written */
    uint32_t code;     /* response code sent (0x55 or DEVSIM_CODE_ERROR); 0 when no answer */
    uint32_t error;    /* device error code of an error answer, else 0 */
    uint32_t fault;    /* devsim_fault_kind applied to this exchange */
};

#define DEVSIM_LOG_CAPACITY 256u
#define DEVSIM_MAX_FAULTS 16u

struct devsim_fault {
    uint32_t at_exchange; /* absolute exchange number */
    uint32_t kind;
    uint32_t param;
};

enum devsim_boot_state { DEVSIM_BOOT_IDLE = 0, DEVSIM_BOOT_RECEIVING = 1 };

/* The whole device. Plain data: callers allocate it and may read its fields,
 * but change it only through the functions below. */
struct devsim_device {
    struct devsim_config config;
    uint32_t firm_version;   /* what the version answer reports now */
    uint32_t led;            /* last LED type set; 0 before any */
    uint32_t boot_state;     /* devsim_boot_state; a refused block ends a transfer */
    uint32_t next_block;     /* lowest address the next block may have */
    uint32_t blocks_received;/* data blocks accepted since the last begin */
    uint32_t commits;        /* transfers ended successfully */
    uint8_t flash[DEVSIM_WINDOW_SIZE];
    uint32_t powered;        /* 0 after an unplug or power-loss fault, until devsim_replug */
    uint32_t exchanges;      /* writes seen since init */
    uint8_t response[DEVSIM_MAX_RESPONSE];
    uint32_t response_len;
    int32_t response_pending;/* 1 after a write until the read */
    uint32_t read_fault;     /* fault that shapes the pending read */
    uint32_t pending_delay_ms;
    uint32_t hang;           /* devsim_hang_kind of the current exchange */
    struct devsim_fault faults[DEVSIM_MAX_FAULTS];
    uint32_t fault_count;
    struct devsim_log_entry log[DEVSIM_LOG_CAPACITY];
    uint32_t log_count;      /* total logged; the ring keeps the last DEVSIM_LOG_CAPACITY */
};

/* The default device at index 0 (the DEVSIM_DEFAULT_* values). */
void devsim_default_config(struct devsim_config *config);
/* The default device at this index: serial DEVSIM_DEFAULT_SERIAL + index. */
void devsim_indexed_config(struct devsim_config *config, uint32_t index);

/* Plugs in a device with this configuration (null: devsim_default_config):
 * flash erased to 0xFF, except the version field at 0x7F00 which holds
 * config->firm_version; LED 0, boot idle; log, faults and exchange count
 * cleared. */
void devsim_init(struct devsim_device *dev, const struct devsim_config *config);

/* One command. Returns 1 when the write succeeds (*written = len), 0 when an
 * armed fault makes it fail (*written = 0; nothing is executed) or the
 * device has no power. Any bytes are accepted: a bad frame gets an error
 * answer, never a crash; only the first DEVSIM_MAX_COMMAND bytes of a longer
 * write are ever looked at. Null data counts as a write of 0 bytes. A write
 * drops any unread response.
 *
 * Interruptions: an UNPLUG fault fails the write without executing it; a
 * POWER_LOSS fault takes the write (returns 1) but runs the command only up
 * to the power failure: a data block leaves its first DEVSIM_TORN_BYTES in
 * the flash (the rest stays erased) and is not counted, a begin erases the
 * window and drops the firmware, an end does not commit, an LED set is not
 * recorded. Either way dev->powered drops to 0: the host must take the
 * device away (name gone, open handles failing) until devsim_replug. Both
 * are logged with code 0 (no answer). */
int devsim_write(struct devsim_device *dev, const uint8_t *data, uint32_t len, uint32_t *written);

/* Milliseconds the host should wait before the read of the current exchange
 * completes (an armed delay); 0 normally. */
uint32_t devsim_pending_delay(const struct devsim_device *dev);

/* Whether the current exchange hangs (a HANG fault): DEVSIM_HANG_WRITE right
 * after the write that met it (which returned 0, nothing executed), or
 * DEVSIM_HANG_READ until the next write (every read of it fails: the answer
 * never comes). The host holds such a call until it is cancelled, its handle
 * closes or the device goes; the model itself never blocks. */
uint32_t devsim_hang(const struct devsim_device *dev);

/* The response to the last write, consumed by this read. Returns 1 and the
 * bytes (at most capacity, none when buf is null; the rest is dropped) or 0
 * on a read fault. A read with no pending response returns 0 with *got = 0. */
int devsim_read(struct devsim_device *dev, uint8_t *buf, uint32_t capacity, uint32_t *got);

/* Puts a device back after an interruption (or a host's unplug): it
 * restarts with power, LED 0, no transfer, no pending answer and no armed
 * faults. Flash and firmware version stay as they were, so a device whose
 * transfer began but was never committed reports no firmware; the log and
 * the exchange count go on. */
void devsim_replug(struct devsim_device *dev);

/* Arms a fault for the exchange `after` exchanges from now (0 = the next).
 * One fault per exchange. Returns 0 when the fault table is full, the kind
 * is unknown or NONE, or that exchange already has a fault. */
int devsim_arm_fault(struct devsim_device *dev, uint32_t after, uint32_t kind, uint32_t param);
void devsim_clear_faults(struct devsim_device *dev);

/* Log entry i (0 = oldest kept). Returns 0 when i is out of range. */
uint32_t devsim_log_size(const struct devsim_device *dev);
int devsim_log_get(const struct devsim_device *dev, uint32_t i, struct devsim_log_entry *out);
void devsim_log_clear(struct devsim_device *dev);

/* Copies len bytes of flash from device address addr. Returns 0 (nothing
 * copied) unless addr..addr+len-1 lies inside the window. */
int devsim_flash_read(const struct devsim_device *dev, uint32_t addr, uint8_t *buf, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif /* DEVSIM_MODEL_H */
