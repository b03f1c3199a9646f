// Records and codes of device communication: the wire header of every
// command and response, the device open table entry, the version payload,
// the controller's control block and the result codes of each layer.
// Plain data. Wire records are exactly the little-endian wire layout.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "com_type.h"
#include "shex_hex.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the wire records are read and written in place: little-endian hosts only"
#endif

// ---- Message framing -------------------------------------------------------

constexpr std::uint8_t kCmcStx = 0x02;
constexpr std::uint8_t kCmcEtx = 0x03;
// Response code of an accepted command.
constexpr std::uint32_t kCmcCodeOk = 0x55;
// Header (16 bytes) and end byte: the length of a message without payload.
constexpr unsigned long kCmcHeaderSize = 16;
constexpr unsigned long kCmcMinMsgSize = 17;

// Header of every command and response message (wire format). `data` stands
// for the payload, whose real length is len - 17; the end byte follows it.
struct SCMD_CMD_HD {
    std::uint8_t stx;     // 0x02
    std::uint8_t sum;     // 8-bit sum of all len bytes, taken with sum = 0
    std::uint16_t id;     // command id; not examined in a response
    std::uint32_t len;    // whole message, stx to end byte inclusive
    union {
        std::uint32_t param1;  // command: first parameter
        std::uint32_t code;    // response: 0x55 accepted, else an error
    } pa1;
    std::uint32_t param2; // command: second parameter; response: error code or value
    std::uint8_t data[4];
};
static_assert(sizeof(SCMD_CMD_HD) == 20, "wire header layout");
static_assert(offsetof(SCMD_CMD_HD, sum) == 1, "wire header layout");
static_assert(offsetof(SCMD_CMD_HD, id) == 2, "wire header layout");
static_assert(offsetof(SCMD_CMD_HD, len) == 4, "wire header layout");
static_assert(offsetof(SCMD_CMD_HD, pa1) == 8, "wire header layout");
static_assert(offsetof(SCMD_CMD_HD, param2) == 12, "wire header layout");
static_assert(offsetof(SCMD_CMD_HD, data) == 16, "wire header layout");

// Exchange result codes (cmc_cmd_send and every command).
constexpr unsigned short kCmcOk = 0;          // well framed, code 0x55
constexpr unsigned short kCmcNoMemory = 1;    // a buffer or data block could not be had; nothing sent
constexpr unsigned short kCmcNotOpen = 2;     // the entry's device is closed; nothing sent
constexpr unsigned short kCmcTransfer = 3;    // write/read failed or the response is malformed
constexpr unsigned short kCmcDeviceError = 4; // well framed, code not 0x55; end_code holds param2

// Response check flags (cmc_recv_msg_chk); several may be set.
constexpr unsigned short kCmcChkStx = 0x0001;  // first byte not 0x02
constexpr unsigned short kCmcChkEtx = 0x0002;  // last byte not 0x03 (len matched)
constexpr unsigned short kCmcChkSum = 0x0004;  // checksum mismatch
constexpr unsigned short kCmcChkLen = 0x0008;  // len field differs from bytes read
constexpr unsigned short kCmcChkCode = 0x8000; // code not 0x55

// ---- Devices ----------------------------------------------------------------

// Device name behind "\\.\"; the index follows it.
#define CMC_DEV_NAME "R846_QVM2K_"
// Names that can exist: indices 0..255.
constexpr unsigned long kCmcMaxDevIndex = 255;
constexpr std::uint32_t kCmcEntryStatus = 0x01000000;

// One opened device. The table is one LocalAlloc array in ascending thd_no
// order; its holder keeps the pointer and the count and frees both with
// cmc_devtbl_free. Used by one thread at a time.
struct SCMC_OPENTBL {
    std::uint32_t thd_no;        // name index + 1
    HANDLE open_hdl;             // INVALID_HANDLE_VALUE once closed
    std::uint32_t status;        // 0x01000000; not read
    std::uint32_t end_code;      // device's error code of the last error answer
    std::uint16_t end_stat;      // exchange result of this device's update
    std::uint32_t total_msgsize; // data bytes to send in this update
    std::uint32_t send_msgsize;  // data bytes sent so far
};

// ---- Commands -----------------------------------------------------------------

constexpr unsigned short kCmcCmdBootData = 0x0001;
constexpr unsigned short kCmcCmdVerGet = 0x8006;
constexpr unsigned short kCmcCmdLedSet = 0x8009;

constexpr unsigned long kCmcBootBegin = 1;
constexpr unsigned long kCmcBootBlock = 2;
constexpr unsigned long kCmcBootEnd = 3;

constexpr unsigned long kCmcLedDone = 1;    // finished with the device
constexpr unsigned long kCmcLedBusy = 2;    // its update begins
constexpr unsigned long kCmcLedFailed = 3;  // its update failed

constexpr unsigned long kCmcBlockSize = 0x100;

// Version response payload (wire format, at message offset 16). license_bit
// arrives scrambled; cmc_cmd_ver_get hands it on unscrambled.
struct SQVM_CMD_VER {
    std::uint32_t firm_version; // 0xFFFFFFFF: no firmware
    std::uint16_t mcu_version;
    std::uint16_t dummy;
    DB_LONG license_bit;
    std::int32_t serial_no;
};
static_assert(sizeof(DB_LONG) == 8, "wire payload layout");
static_assert(sizeof(SQVM_CMD_VER) == 20, "wire payload layout");
static_assert(offsetof(SQVM_CMD_VER, mcu_version) == 4, "wire payload layout");
static_assert(offsetof(SQVM_CMD_VER, dummy) == 6, "wire payload layout");
static_assert(offsetof(SQVM_CMD_VER, license_bit) == 8, "wire payload layout");
static_assert(offsetof(SQVM_CMD_VER, serial_no) == 16, "wire payload layout");

// Masks with which the device scrambles license_bit (each half is sent as
// ~(value ^ mask)). They must match the device's firmware.
constexpr std::uint32_t kCmcLicenseMaskLow = 0x5A3C96E1u;
constexpr std::uint32_t kCmcLicenseMaskHigh = 0xC3A55A3Cu;

// Version response: bytes read and the buffer they are read into.
constexpr unsigned long kCmcVerRspSize = kCmcMinMsgSize + sizeof(SQVM_CMD_VER);  // 37
// Responses without payload.
constexpr unsigned long kCmcAckRspSize = kCmcMinMsgSize;  // 17
// Response buffers are this much larger than the read.
constexpr unsigned long kCmcRspSlack = 4;

// ---- Controller -----------------------------------------------------------------

typedef unsigned short (*CMC_CB_CHKRET)(unsigned short chkret, unsigned long dev_num,
                                        void *cmc_obj, void *obj);
typedef void (*CMC_CB_PROGRESS)(unsigned long dev_no, unsigned long percent, void *obj);
typedef void (*CMC_CB_FINISH)(unsigned long result, unsigned long detail, void *obj);

// thd_hdl while no worker runs.
constexpr std::uintptr_t kCmcNoThread = 0;
// thd_hdl after pcmc_cancel was asked while a worker still held the
// controller: the check thread then destroys it instead of handing it back.
// _beginthread never returns this value.
constexpr std::uintptr_t kCmcCancelled = ~static_cast<std::uintptr_t>(1);

// The controller's control block. Ownership is handed over whole: the
// creator fills it before opening the start gate, the worker then owns it
// until it ends or (check thread) until it hands the controller back by
// clearing thd_hdl. thd_hdl is the only field written by both sides after
// the hand-over, hence atomic.
struct SCMC_CTRL_DATA {
    std::uint32_t data_ver;          // image version
    SHEX_HEX *hex;                   // not owned
    CMC_CB_CHKRET cb_cmc_chkret;
    CMC_CB_PROGRESS cb_cmc_progress;
    CMC_CB_FINISH cb_cmc_finish;
    void *obj;                       // user's context for every callback
    std::int32_t verchk;             // 1: compare the first device's version
    std::atomic<std::uintptr_t> thd_hdl;  // current worker; kCmcNoThread when none
    std::uint32_t dev_chkmax;        // names to probe (0: 256)
    std::uint32_t dev_max;           // devices to open at most
    std::uint32_t dev_num;           // devices opened
    SCMC_OPENTBL *dev_tbl;           // owned
    std::uint16_t oldprogre;         // last percentage reported
    HANDLE sus_hdl;                  // start gate (manual-reset event); owned
};

// Start parameter of a worker: LocalAlloc by the creator, LocalFree by the
// worker as its first step.
struct SCMC_THD_PARA {
    std::uint32_t thd_no;  // 0
    void *obj;             // the controller
};

// Version record of one device (pcmc_get_ver).
struct SCMC_DEV_VER {
    std::uint32_t firm_version;  // 0xFFFFFFFF until read
    std::uint16_t mcu_version;
    std::uint16_t dummy;
    DB_LONG license_bit;         // unscrambled
    std::int32_t serial_no;
    std::uint32_t boot_version;  // 0xFFFFFFFF until read
};

// Check codes (cb_cmc_chkret).
constexpr unsigned short kCmcChkReady = 0;
constexpr unsigned short kCmcChkNoDevice = 1;
constexpr unsigned short kCmcChkUpToDate = 2;
constexpr unsigned short kCmcChkCommError = 3;

// What cb_cmc_chkret answers to keep the controller.
constexpr unsigned short kCmcKeep = 1;

// Finish results and details (cb_cmc_finish).
constexpr unsigned long kCmcFinishOk = 1;
constexpr unsigned long kCmcFinishFailed = 2;
constexpr unsigned long kCmcDetailNoMemory = 0xFFFFFFFFul;
constexpr unsigned long kCmcDetailTransfer = 0xFFFFFFFEul;
constexpr unsigned long kCmcDetailNoThread = 0xFFFFFFFCul;

// cmc_ver_chk results.
constexpr unsigned char kCmcVerUpdate = 0;
constexpr unsigned char kCmcVerCurrent = 1;
constexpr unsigned char kCmcVerReadFailed = 2;

// pcmc_get_ver results.
constexpr unsigned char kCmcGetVerOk = 0;
constexpr unsigned char kCmcGetVerNone = 1;
constexpr unsigned char kCmcGetVerFailed = 3;
