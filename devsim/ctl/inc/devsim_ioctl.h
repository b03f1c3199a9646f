/* Control interface of the simulated-device driver: names, I/O control
 * codes and the records they carry. Shared by the driver (C, kernel mode)
 * and the control client (C++, user mode), so it is plain C.
 *
 * Include <ntddk.h> (driver) or <windows.h> and <winioctl.h> (client)
 * first: CTL_CODE comes from there.
 *
 * Every control is METHOD_BUFFERED on the shareable control device
 * \\.\R846_QVM2K_CTL. Records are fixed-size with 32-bit fields only, so
 * they have no padding. The driver checks each input and output length; a
 * short buffer fails with ERROR_INSUFFICIENT_BUFFER (input) or
 * ERROR_INSUFFICIENT_BUFFER / ERROR_MORE_DATA (output), an index above 255
 * or a bad argument with ERROR_INVALID_PARAMETER, an index with no device
 * with ERROR_FILE_NOT_FOUND, adding at an index that holds a device
 * (plugged in, or taken away by an interruption and not yet replugged or
 * removed) with ERROR_ALREADY_EXISTS. */
#ifndef DEVSIM_IOCTL_H
#define DEVSIM_IOCTL_H

#include <stdint.h>

#ifndef CTL_CODE
#error "include <ntddk.h> or <winioctl.h> before devsim_ioctl.h"
#endif

/* Bumped whenever a record or code below changes meaning. */
#define DEVSIM_ABI_VERSION 2u

/* Simulated devices: \Device\R846_QVM2K_<n>, linked as \DosDevices\R846_QVM2K_<n>. */
#define DEVSIM_MAX_DEVICES 256u
#define DEVSIM_DEVICE_PREFIX L"\\Device\\R846_QVM2K_"
#define DEVSIM_LINK_PREFIX L"\\DosDevices\\R846_QVM2K_"
#define DEVSIM_CTL_DEVICE_NAME L"\\Device\\R846_QVM2K_CTL"
#define DEVSIM_CTL_LINK_NAME L"\\DosDevices\\R846_QVM2K_CTL"
#define DEVSIM_CTL_FILE_NAME "\\\\.\\R846_QVM2K_CTL"

/* Longest delay the driver waits in one read, whatever was asked for, so
 * that no request can hold a thread for long. */
#define DEVSIM_MAX_DELAY_MS 60000u

#define DEVSIM_FILE_DEVICE 0x8846u
#define DEVSIM_IOCTL_CODE(fn) \
    CTL_CODE(DEVSIM_FILE_DEVICE, 0x800u + (fn), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* in: none; out: devsim_ioc_info. */
#define DEVSIM_IOCTL_INFO DEVSIM_IOCTL_CODE(0)
/* in: devsim_ioc_add. Plugs in a device at an absent index. */
#define DEVSIM_IOCTL_ADD DEVSIM_IOCTL_CODE(1)
/* in: devsim_ioc_index. Unplugs it: the name goes at once, open handles
 * fail every further request and the device object goes with the last. */
#define DEVSIM_IOCTL_REMOVE DEVSIM_IOCTL_CODE(2)
/* in: devsim_ioc_index. Power cycle: the device starts again from its
 * configuration (flash, log and faults cleared; the delay is kept). */
#define DEVSIM_IOCTL_RESET DEVSIM_IOCTL_CODE(3)
/* in: devsim_ioc_fault. */
#define DEVSIM_IOCTL_ARM_FAULT DEVSIM_IOCTL_CODE(4)
/* in: devsim_ioc_index. */
#define DEVSIM_IOCTL_CLEAR_FAULTS DEVSIM_IOCTL_CODE(5)
/* in: devsim_ioc_delay. Added before every read's answer. */
#define DEVSIM_IOCTL_SET_DELAY DEVSIM_IOCTL_CODE(6)
/* in: devsim_ioc_index; out: devsim_ioc_state. STATE, LOG, CLEAR_LOG and
 * FLASH also reach a device that an interruption took away, so that tests
 * can read what it saw; so do REMOVE and REPLUG. */
#define DEVSIM_IOCTL_STATE DEVSIM_IOCTL_CODE(7)
/* in: devsim_ioc_log_req; out: devsim_ioc_log_head and as many
 * devsim_ioc_log_entry records as fit (at least the head must fit). */
#define DEVSIM_IOCTL_LOG DEVSIM_IOCTL_CODE(8)
/* in: devsim_ioc_index. */
#define DEVSIM_IOCTL_CLEAR_LOG DEVSIM_IOCTL_CODE(9)
/* in: devsim_ioc_flash_req; out: exactly `length` bytes of the flash
 * window from `offset` (offset + length within DEVSIM_WINDOW_SIZE). */
#define DEVSIM_IOCTL_FLASH DEVSIM_IOCTL_CODE(10)
/* in: none. Unplugs every device (as REMOVE). */
#define DEVSIM_IOCTL_REMOVE_ALL DEVSIM_IOCTL_CODE(11)

/* in: devsim_ioc_index. Pulls the device at that index out (if it is
 * plugged in) and puts it back, as after an unplug or power-loss fault: the
 * name returns, handles opened before stay dead, the device restarts
 * (devsim_replug) keeping its flash and firmware. Works on a device that an
 * interruption took away; ERROR_FILE_NOT_FOUND when the index has none. */
#define DEVSIM_IOCTL_REPLUG DEVSIM_IOCTL_CODE(12)

struct devsim_ioc_index {
    uint32_t index;
};

struct devsim_ioc_add {
    uint32_t index;
    uint32_t firm_version; /* 0xFFFFFFFF: no firmware */
    uint32_t mcu_version;  /* 16 bits used */
    uint32_t boot_version;
    int32_t serial_no;
    uint32_t license_low;  /* plain values */
    int32_t license_high;
};

struct devsim_ioc_fault {
    uint32_t index;
    uint32_t after; /* 0 = the next exchange */
    uint32_t kind;  /* devsim_fault_kind */
    uint32_t param;
};

struct devsim_ioc_delay {
    uint32_t index;
    uint32_t ms; /* at most DEVSIM_MAX_DELAY_MS */
};

/* present[i]: 1 when index i is plugged in. */
struct devsim_ioc_info {
    uint32_t abi_version;
    uint32_t device_count;
    uint8_t present[DEVSIM_MAX_DEVICES];
};

struct devsim_ioc_state {
    uint32_t index;
    uint32_t firm_version;    /* what the version answer reports now */
    uint32_t led;             /* last LED type set; 0 before any */
    uint32_t boot_state;      /* devsim_boot_state */
    uint32_t blocks_received; /* since the last begin */
    uint32_t commits;
    uint32_t exchanges;
    uint32_t log_total;       /* exchanges logged since the last clear */
    uint32_t log_kept;        /* entries the ring still holds */
    uint32_t faults_armed;
    uint32_t delay_ms;
    uint32_t open_handles;
    uint32_t plugged;         /* 0 while an unplug or power-loss fault keeps it away */
    uint32_t reads_pending;   /* requests held back: delayed reads, hung reads and writes */
};

struct devsim_ioc_log_req {
    uint32_t index;
    uint32_t first; /* 0 = oldest kept entry */
};

struct devsim_ioc_log_head {
    uint32_t total;    /* as devsim_ioc_state.log_total */
    uint32_t kept;
    uint32_t first;    /* as asked */
    uint32_t returned; /* entries that follow */
};

struct devsim_ioc_log_entry {
    uint32_t index; /* exchange number */
    uint32_t cmd_id;
    uint32_t param1;
    uint32_t param2;
    uint32_t length;
    uint32_t code;
    uint32_t error;
    uint32_t fault;
};

struct devsim_ioc_flash_req {
    uint32_t index;
    uint32_t offset; /* from DEVSIM_WINDOW_START */
    uint32_t length;
};

#endif /* DEVSIM_IOCTL_H */
