#include "cmc.h"

#include <windows.h>

#include <cstdint>

#include "cmc_snd.h"
#include "pcom_lib.h"

namespace {

// One command whose response carries no payload.
unsigned short send_ack_cmd(SCMC_OPENTBL *open_tbl, unsigned short id, unsigned long param1,
                            unsigned long param2, unsigned char *data, unsigned long data_len) {
    auto *rsp = static_cast<unsigned char *>(LocalAlloc(LPTR, kCmcAckRspSize + kCmcRspSlack));
    if (rsp == nullptr) return kCmcNoMemory;
    unsigned long rsp_len = kCmcAckRspSize;
    unsigned short r =
        CLS_cmc_snd::cmc_cmd_send(open_tbl, id, param1, param2, data, data_len, rsp, &rsp_len);
    LocalFree(rsp);
    return r;
}

}  // namespace

unsigned short CLS_cmc::cmc_cmd_ver_get(SCMC_OPENTBL *open_tbl, SQVM_CMD_VER *verinfo,
                                        unsigned long *bootver) {
    auto *rsp = static_cast<unsigned char *>(LocalAlloc(LPTR, kCmcVerRspSize + kCmcRspSlack));
    if (rsp == nullptr) return kCmcNoMemory;
    unsigned long rsp_len = kCmcVerRspSize;
    unsigned short r =
        CLS_cmc_snd::cmc_cmd_send(open_tbl, kCmcCmdVerGet, 0, 0, nullptr, 0, rsp, &rsp_len);
    if (r == kCmcOk) {
        if (verinfo != nullptr) {
            // Only the payload bytes that arrived: the end byte of a short
            // answer is not part of the version.
            SQVM_CMD_VER ver;
            CLS_pcom_lib::pcom_memset(&ver, 0, sizeof(ver));
            unsigned long payload = rsp_len > kCmcMinMsgSize ? rsp_len - kCmcMinMsgSize : 0;
            if (payload > sizeof(ver)) payload = sizeof(ver);
            CLS_pcom_lib::pcom_memcpy(&ver, rsp + kCmcHeaderSize, payload);
            ver.license_bit.low = ~(ver.license_bit.low ^ kCmcLicenseMaskLow);
            ver.license_bit.high = static_cast<std::int32_t>(
                ~(static_cast<std::uint32_t>(ver.license_bit.high) ^ kCmcLicenseMaskHigh));
            *verinfo = ver;
        }
        if (bootver != nullptr) {
            *bootver = reinterpret_cast<const SCMD_CMD_HD *>(rsp)->param2;
        }
    }
    LocalFree(rsp);
    return r;
}

unsigned short CLS_cmc::cmc_cmd_led_set(SCMC_OPENTBL *open_tbl, unsigned long ledtype) {
    return send_ack_cmd(open_tbl, kCmcCmdLedSet, ledtype, 0, nullptr, 0);
}

unsigned short CLS_cmc::cmc_cmd_bootdata_set(SCMC_OPENTBL *open_tbl, unsigned long type,
                                             unsigned char *data, unsigned long data_len,
                                             unsigned long st_addr) {
    return send_ack_cmd(open_tbl, kCmcCmdBootData, type, st_addr, data, data_len);
}

unsigned char CLS_cmc::cmc_ver_cmp(std::uint32_t image_ver, std::uint32_t device_ver) {
    if (device_ver == kNoVersion) return kCmcVerUpdate;
    const std::uint32_t image_no = image_ver & 0xFFFFu;
    const std::uint32_t device_no = device_ver & 0xFFFFu;
    if (image_no > device_no) return kCmcVerUpdate;
    if (image_no < device_no) return kCmcVerCurrent;
    // Same number: a different suffix is another build, worth writing.
    return (image_ver >> 16) == (device_ver >> 16) ? kCmcVerCurrent : kCmcVerUpdate;
}

unsigned long CLS_cmc::cmc_get_blockmax(unsigned long datalen, unsigned long startadd,
                                        unsigned long blksize) {
    const auto len = static_cast<std::uint32_t>(datalen);
    const auto start = static_cast<std::uint32_t>(startadd);
    const auto blk = static_cast<std::uint32_t>(blksize);
    if (blk == 0 || len == 0) return 0;
    const std::uint32_t first = start - start % blk;
    // Rounded up in 64 bits; the range's length then wraps like an address.
    const std::uint64_t end = static_cast<std::uint64_t>(start) + len;
    const std::uint64_t end_up = (end + blk - 1) / blk * blk;
    const std::uint64_t span = end_up - first;
    return static_cast<unsigned long>(span / blk);
}

unsigned char *CLS_cmc::cmc_get_data(unsigned char *data, unsigned long datalen,
                                     unsigned long startadd, unsigned long *getadd,
                                     unsigned long blksize, unsigned long blkno) {
    const auto len = static_cast<std::uint32_t>(datalen);
    const auto start = static_cast<std::uint32_t>(startadd);
    const auto blk = static_cast<std::uint32_t>(blksize);
    if (blk == 0) return nullptr;
    auto *buf = static_cast<unsigned char *>(LocalAlloc(LPTR, blk));
    if (buf == nullptr) return nullptr;
    CLS_pcom_lib::pcom_memset(buf, static_cast<char>(0xFF), blk);

    const std::uint32_t off = start % blk;
    std::uint64_t src = 0;    // offset in data
    std::uint32_t dst = 0;    // offset in the block
    std::uint64_t count = 0;  // bytes to copy
    if (blkno == 0) {
        dst = off;
        count = blk - off < len ? blk - off : len;
    } else {
        src = static_cast<std::uint64_t>(blkno) * blk - off;
        if (src < len) count = len - src < blk ? len - src : blk;
    }
    const std::uint32_t addr =
        static_cast<std::uint32_t>(start - off + static_cast<std::uint64_t>(blkno) * blk);
    if (getadd != nullptr) *getadd = addr;
    if (count == 0 || data == nullptr) {
        LocalFree(buf);
        return nullptr;
    }
    CLS_pcom_lib::pcom_memcpy(buf + dst, data + src, static_cast<unsigned long>(count));
    return buf;
}

unsigned short CLS_cmc::cmc_get_progress(SCMC_OPENTBL *open_tbl) {
    if (open_tbl == nullptr || open_tbl->total_msgsize == 0) return 0;
    const std::uint64_t permille =
        static_cast<std::uint64_t>(open_tbl->send_msgsize) * 1000u / open_tbl->total_msgsize;
    const std::uint64_t percent = (permille + 5) / 10;
    return static_cast<unsigned short>(percent > 100 ? 100 : percent);
}

void CLS_cmc::cmc_progress_chk(SCMC_OPENTBL *open_tbl, unsigned short *oldprogre,
                               CMC_CB_PROGRESS cb_cmc_prog, void *obj) {
    if (open_tbl == nullptr || oldprogre == nullptr) return;
    const unsigned short percent = cmc_get_progress(open_tbl);
    if (percent <= *oldprogre) return;
    *oldprogre = percent;
    if (cb_cmc_prog != nullptr) cb_cmc_prog(0, percent, obj);
}

unsigned long CLS_cmc::cmc_detail_of(unsigned short result, std::uint32_t end_code) {
    switch (result) {
    case kCmcOk:
        return 0;
    case kCmcNoMemory:
        return kCmcDetailNoMemory;
    case kCmcDeviceError:
        return end_code;
    default:
        return kCmcDetailTransfer;
    }
}

void CLS_cmc::cmc_endstat_chk(unsigned long *param, SCMC_OPENTBL *open_tbl) {
    if (param == nullptr || open_tbl == nullptr) return;
    switch (open_tbl->end_stat) {
    case kCmcNoMemory:
    case kCmcNotOpen:
    case kCmcTransfer:
        // A device's own code, once known, is kept over a later failure's.
        if (*param == 0) *param = cmc_detail_of(open_tbl->end_stat, open_tbl->end_code);
        break;
    case kCmcDeviceError:
        *param = cmc_detail_of(open_tbl->end_stat, open_tbl->end_code);
        break;
    default:
        break;
    }
}

void CLS_cmc::cmc_initial(SCMC_CTRL_DATA *ctl_data) {
    ctl_data->data_ver = 0;
    ctl_data->hex = nullptr;
    ctl_data->cb_cmc_chkret = nullptr;
    ctl_data->cb_cmc_progress = nullptr;
    ctl_data->cb_cmc_finish = nullptr;
    ctl_data->obj = nullptr;
    ctl_data->verchk = 0;
    ctl_data->thd_hdl.store(kCmcNoThread, std::memory_order_relaxed);
    ctl_data->dev_chkmax = 0;
    ctl_data->dev_max = 0;
    ctl_data->dev_num = 0;
    ctl_data->dev_tbl = nullptr;
    ctl_data->oldprogre = 0;
    ctl_data->sus_hdl = nullptr;
}

void CLS_cmc::cmc_event_close(SCMC_CTRL_DATA *ctl_data) {
    if (ctl_data->sus_hdl != nullptr) {
        CloseHandle(ctl_data->sus_hdl);
        ctl_data->sus_hdl = nullptr;
    }
}

bool CLS_cmc::cmc_thd_close(SCMC_CTRL_DATA *ctl_data) {
    std::uintptr_t held = ctl_data->thd_hdl.load(std::memory_order_acquire);
    while (held != kCmcCancelled) {
        // Release: what this worker wrote is visible to whoever sees 0.
        if (ctl_data->thd_hdl.compare_exchange_weak(held, kCmcNoThread,
                                                    std::memory_order_acq_rel,
                                                    std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}
