// The wire format: message framing, the header of every command and
// response, the command ids and their parameters, and the version payload.
// Wire records are exactly the little-endian wire layout (static_assert).
#pragma once

#include <cstddef>
#include <cstdint>

#include "com_type.h"

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

// Header of every command and response message. `data` stands for the
// payload, whose real length is len - 17; the end byte follows it.
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

// ---- Commands -----------------------------------------------------------------

constexpr unsigned short kCmcCmdBootData = 0x0001;
constexpr unsigned short kCmcCmdVerGet = 0x8006;
constexpr unsigned short kCmcCmdLedSet = 0x8009;

// Boot data types (param1 of 0x0001).
constexpr unsigned long kCmcBootBegin = 1;
constexpr unsigned long kCmcBootBlock = 2;
constexpr unsigned long kCmcBootEnd = 3;

// LED types (param1 of 0x8009).
constexpr unsigned long kCmcLedDone = 1;    // finished with the device
constexpr unsigned long kCmcLedBusy = 2;    // its update begins
constexpr unsigned long kCmcLedFailed = 3;  // its update failed

// Payload of one data block; block addresses are multiples of it.
constexpr unsigned long kCmcBlockSize = 0x100;

// Version response payload (at message offset 16). license_bit arrives
// scrambled; cmc_cmd_ver_get hands it on unscrambled.
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

// Version response: bytes read.
constexpr unsigned long kCmcVerRspSize = kCmcMinMsgSize + sizeof(SQVM_CMD_VER);  // 37
// Responses without payload.
constexpr unsigned long kCmcAckRspSize = kCmcMinMsgSize;  // 17
// Response buffers are this much larger than the read.
constexpr unsigned long kCmcRspSlack = 4;
