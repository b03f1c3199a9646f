#include "cmc_snd.h"

#include <cstdint>
#include <cstring>

#include "pcom_dat.h"
#include "pcom_lib.h"
#include "pwin_fle.h"

namespace {

thread_local CmcExchangeWatch *t_watch = nullptr;

bool is_open(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }

// Little-endian 32-bit field at off of a received message; bytes that were
// not received read as 0.
std::uint32_t rx_u32(const unsigned char *msg, unsigned long got, unsigned long off) {
    std::uint32_t v = 0;
    for (unsigned long i = 0; i < 4; ++i) {
        if (off + i < got) v |= static_cast<std::uint32_t>(msg[off + i]) << (8 * i);
    }
    return v;
}

}  // namespace

void CLS_cmc_snd::cmc_watch_thread(CmcExchangeWatch *watch) { t_watch = watch; }

HANDLE CLS_cmc_snd::cmc_create_file(unsigned long indexno) {
    char name[CLS_pwin_fle::kDevFileNameSize];
    CLS_pcom_lib::pcom_memset(name, 0, sizeof(name));
    char dev_name[] = CMC_DEV_NAME;
    CLS_pwin_fle::pwin_make_dev_file_name(name, dev_name, indexno);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void CLS_cmc_snd::cmc_close_file(void **file_handle) {
    if (file_handle == nullptr) return;
    if (is_open(*file_handle)) CloseHandle(*file_handle);
    *file_handle = INVALID_HANDLE_VALUE;
}

unsigned long CLS_cmc_snd::cmc_devtbl_edit(SCMC_OPENTBL **dev_tbl, unsigned long devmax,
                                           unsigned long chkmax) {
    void *table = nullptr;
    unsigned long count = 0;
    if (dev_tbl != nullptr) *dev_tbl = nullptr;
    if (chkmax == 0 || chkmax > kCmcMaxDevIndex + 1) chkmax = kCmcMaxDevIndex + 1;

    for (unsigned long index = 0; index < chkmax && count < devmax; ++index) {
        HANDLE h = cmc_create_file(index);
        if (!is_open(h)) continue;
        SCMC_OPENTBL entry;
        CLS_pcom_lib::pcom_memset(&entry, 0, sizeof(entry));
        entry.thd_no = static_cast<std::uint32_t>(index + 1);
        entry.open_hdl = h;
        entry.status = kCmcEntryStatus;
        unsigned long before = count;
        CLS_pcom_dat::pcom_dispose_allocate(&table, &entry, &count, sizeof(entry));
        if (count == before) {
            // Out of memory: a device without an entry would stay open and
            // unshared for good.
            cmc_close_file(&entry.open_hdl);
            break;
        }
    }

    if (count > 0 && dev_tbl != nullptr) {
        *dev_tbl = static_cast<SCMC_OPENTBL *>(table);
    } else if (table != nullptr) {
        cmc_devtbl_free(static_cast<SCMC_OPENTBL *>(table), count);
        count = 0;
    }
    return count;
}

void CLS_cmc_snd::cmc_devtbl_free(SCMC_OPENTBL *dev_tbl, unsigned long dev_num) {
    if (dev_tbl == nullptr) return;
    for (unsigned long i = 0; i < dev_num; ++i) cmc_close_file(&dev_tbl[i].open_hdl);
    LocalFree(dev_tbl);
}

unsigned char *CLS_cmc_snd::cmc_send_msg_create(unsigned short comid, unsigned long para1,
                                                unsigned long para2, unsigned long datlen,
                                                unsigned char *data, unsigned long *sndlen) {
    if (sndlen != nullptr) *sndlen = 0;
    // A payload length without its bytes would be framed with the end byte
    // behind the header while len still counts the payload.
    if (datlen > 0 && data == nullptr) return nullptr;
    if (datlen > 0xFFFFFFFFul - kCmcMinMsgSize) return nullptr;
    const unsigned long len = datlen + kCmcMinMsgSize;
    auto *msg = static_cast<unsigned char *>(LocalAlloc(LPTR, len));
    if (msg == nullptr) return nullptr;

    auto *hd = reinterpret_cast<SCMD_CMD_HD *>(msg);
    hd->stx = kCmcStx;
    hd->sum = 0;
    hd->id = comid;
    hd->len = static_cast<std::uint32_t>(len);
    hd->pa1.param1 = static_cast<std::uint32_t>(para1);
    hd->param2 = static_cast<std::uint32_t>(para2);
    if (datlen > 0) CLS_pcom_lib::pcom_memcpy(msg + kCmcHeaderSize, data, datlen);
    msg[kCmcHeaderSize + datlen] = kCmcEtx;

    std::uint8_t sum = 0;
    for (unsigned long i = 0; i < len; ++i) sum = static_cast<std::uint8_t>(sum + msg[i]);
    hd->sum = sum;
    if (sndlen != nullptr) *sndlen = len;
    return msg;
}

unsigned short CLS_cmc_snd::cmc_recv_msg_chk(unsigned long datlen, unsigned char *rcvdata) {
    unsigned short flags = 0;
    if (datlen < 1 || rcvdata[0] != kCmcStx) flags |= kCmcChkStx;

    if (rx_u32(rcvdata, datlen, offsetof(SCMD_CMD_HD, len)) != datlen) {
        flags |= kCmcChkLen;
    } else if (datlen >= 1 && rcvdata[datlen - 1] != kCmcEtx) {
        flags |= kCmcChkEtx;
    }

    // The sum is taken with the sum byte as 0.
    const unsigned long sum_at = offsetof(SCMD_CMD_HD, sum);
    std::uint8_t sum = 0;
    for (unsigned long i = 0; i < datlen; ++i) {
        if (i != sum_at) sum = static_cast<std::uint8_t>(sum + rcvdata[i]);
    }
    const std::uint8_t got_sum = datlen > sum_at ? rcvdata[sum_at] : 0;
    if (sum != got_sum) flags |= kCmcChkSum;

    if (rx_u32(rcvdata, datlen, offsetof(SCMD_CMD_HD, pa1)) != kCmcCodeOk) flags |= kCmcChkCode;
    return flags;
}

unsigned short CLS_cmc_snd::cmc_cmd_send(SCMC_OPENTBL *open_tbl, unsigned short cmd_id,
                                         unsigned long param1, unsigned long param2,
                                         unsigned char *snd_data, unsigned long snd_len,
                                         unsigned char *rcv_data, unsigned long *rcv_len) {
    if (open_tbl == nullptr || !is_open(open_tbl->open_hdl)) return kCmcNotOpen;
    if (rcv_data == nullptr || rcv_len == nullptr) return kCmcNoMemory;

    unsigned long msg_len = 0;
    unsigned char *msg = cmc_send_msg_create(cmd_id, param1, param2, snd_len, snd_data, &msg_len);
    if (msg == nullptr) return kCmcNoMemory;

    unsigned short result = kCmcTransfer;
    DWORD written = 0;
    const unsigned long want_len = *rcv_len;
    *rcv_len = 0;
    CmcExchangeWatch *const watch = t_watch;
    if (watch != nullptr && !watch->begin(open_tbl->open_hdl)) {
        LocalFree(msg);
        return kCmcTransfer;
    }
    if (WriteFile(open_tbl->open_hdl, msg, static_cast<DWORD>(msg_len), &written, nullptr) &&
        written == msg_len) {
        const DWORD want = want_len > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<DWORD>(want_len);
        DWORD got = 0;
        const BOOL read_ok = ReadFile(open_tbl->open_hdl, rcv_data, want, &got, nullptr);
        // A driver that claims more than was asked for is not believed.
        *rcv_len = got > want ? want : got;
        if (read_ok) {
            const unsigned short flags = cmc_recv_msg_chk(*rcv_len, rcv_data);
            if (flags == 0) {
                result = kCmcOk;
            } else if (flags == kCmcChkCode) {
                open_tbl->end_code = rx_u32(rcv_data, *rcv_len, offsetof(SCMD_CMD_HD, param2));
                result = kCmcDeviceError;
            }
        }
    }
    if (watch != nullptr) watch->end();
    LocalFree(msg);
    return result;
}
