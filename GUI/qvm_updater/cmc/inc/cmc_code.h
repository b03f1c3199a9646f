// Result codes of every device-communication layer, by the call that
// returns them. Values are fixed by the protocol and the callers' contracts.
#pragma once

// ---- Exchange results: cmc_cmd_send and every command ------------------------

constexpr unsigned short kCmcOk = 0;          // well framed, code 0x55
constexpr unsigned short kCmcNoMemory = 1;    // a buffer or data block could not be had; nothing sent
constexpr unsigned short kCmcNotOpen = 2;     // the entry's device is closed; nothing sent
constexpr unsigned short kCmcTransfer = 3;    // write/read failed or the response is malformed
constexpr unsigned short kCmcDeviceError = 4; // well framed, code not 0x55; end_code holds param2

// ---- Response check flags: cmc_recv_msg_chk; several may be set --------------

constexpr unsigned short kCmcChkStx = 0x0001;  // first byte not 0x02
constexpr unsigned short kCmcChkEtx = 0x0002;  // last byte not 0x03 (len matched)
constexpr unsigned short kCmcChkSum = 0x0004;  // checksum mismatch
constexpr unsigned short kCmcChkLen = 0x0008;  // len field differs from bytes read
constexpr unsigned short kCmcChkCode = 0x8000; // code not 0x55

// ---- Version comparison: cmc_ver_cmp, cmc_ver_chk ------------------------------

constexpr unsigned char kCmcVerUpdate = 0;      // the image is due: write it
constexpr unsigned char kCmcVerCurrent = 1;     // the device holds it or a newer number
constexpr unsigned char kCmcVerReadFailed = 2;  // the version could not be read

// ---- Check codes: first argument of cb_cmc_chkret ------------------------------

constexpr unsigned short kCmcChkReady = 0;      // devices open; check passed or not asked
constexpr unsigned short kCmcChkNoDevice = 1;   // no device found
constexpr unsigned short kCmcChkUpToDate = 2;   // the first device is current
constexpr unsigned short kCmcChkCommError = 3;  // version read failed, or no check thread

// What cb_cmc_chkret answers: keep the controller (for pcmc_start or
// pcmc_cancel), or let the check thread release it (any other answer does).
constexpr unsigned short kCmcKeep = 1;
constexpr unsigned short kCmcRelease = 2;

// ---- Finish results and details: arguments of cb_cmc_finish --------------------

constexpr unsigned long kCmcFinishOk = 1;      // every open device written completely
constexpr unsigned long kCmcFinishFailed = 2;  // detail says why
constexpr unsigned long kCmcDetailNoMemory = 0xFFFFFFFFul;  // out of memory
constexpr unsigned long kCmcDetailTransfer = 0xFFFFFFFEul;  // not open, transfer or framing
constexpr unsigned long kCmcDetailNoThread = 0xFFFFFFFCul;  // update thread not started
// Any other detail of a failure is the device's own error code (end_code).

// ---- pcmc_get_ver results --------------------------------------------------------

constexpr unsigned char kCmcGetVerOk = 0;      // every device answered
constexpr unsigned char kCmcGetVerNone = 1;    // no output pointer, or no device
constexpr unsigned char kCmcGetVerFailed = 3;  // a version read failed, or no record array
