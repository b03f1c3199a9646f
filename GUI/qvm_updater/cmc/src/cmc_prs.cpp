// The update thread: writes the image into each open device in turn and
// reports progress and the end through cb_cmc_progress and cb_cmc_finish.
//
// Threads: runs on the update thread, which owns the control block from the
// start gate to its end and then destroys the controller. The user does not
// touch the controller after pcmc_start (pcmc_cancel only marks thd_hdl,
// which nothing here reads). The image is only read.
#include "pcmc.h"

#include <windows.h>
#include <process.h>

#include "cmc.h"
#include "cmc_snd.h"

void CLS_pcmc::cmc_thd_update_proc(void *infodat) {
    CLS_pcmc *self = cmc_thd_enter(infodat);
    SCMC_CTRL_DATA *ctl = &self->ctl_data;
    unsigned long result = kCmcFinishOk;
    unsigned long detail = 0;
    SHEX_DATA *image = ctl->hex != nullptr ? &ctl->hex->edit : nullptr;

    std::uint32_t last = 0;
    for (std::uint32_t i = 0; i < ctl->dev_num; ++i) {
        SCMC_OPENTBL *entry = &ctl->dev_tbl[i];
        last = i;
        CLS_cmc::cmc_cmd_led_set(entry, kCmcLedBusy);
        const unsigned short r = cmc_boot_data_set(ctl, i, image);
        entry->end_stat = r;
        if (r != kCmcOk) {
            CLS_cmc::cmc_cmd_led_set(entry, kCmcLedFailed);
            result = kCmcFinishFailed;
            CLS_cmc::cmc_endstat_chk(&detail, entry);
            break;  // the remaining devices are left untouched
        }
    }

    if (ctl->dev_num != 0) {
        SCMC_OPENTBL *entry = &ctl->dev_tbl[last];
        CLS_cmc::cmc_cmd_led_set(entry, kCmcLedDone);
        CLS_cmc_snd::cmc_close_file(&entry->open_hdl);
    } else {
        // Nothing was written: not a success.
        result = kCmcFinishFailed;
        detail = kCmcDetailTransfer;
    }

    if (ctl->cb_cmc_finish != nullptr) ctl->cb_cmc_finish(result, detail, ctl->obj);
    delete self;
    _endthread();
}

unsigned short CLS_pcmc::cmc_boot_data_set(SCMC_CTRL_DATA *ctl_data, unsigned long index,
                                           SHEX_DATA *hex) {
    SCMC_OPENTBL *entry = &ctl_data->dev_tbl[index];
    entry->send_msgsize = 0;
    entry->total_msgsize = 0;
    ctl_data->oldprogre = 0;
    if (ctl_data->cb_cmc_progress != nullptr) {
        ctl_data->cb_cmc_progress(index + 1, 0, ctl_data->obj);
    }
    // No image bytes: nothing that could be written (and the begin would
    // erase the device's firmware).
    if (hex == nullptr || hex->data == nullptr || hex->len == 0) return kCmcNoMemory;

    unsigned short r = CLS_cmc::cmc_cmd_bootdata_set(entry, kCmcBootBegin, nullptr, 0, 0);
    if (r != kCmcOk) return r;

    const unsigned long count = CLS_cmc::cmc_get_blockmax(hex->len, hex->start_addr, kCmcBlockSize);
    entry->total_msgsize += static_cast<std::uint32_t>(count * kCmcBlockSize);
    for (unsigned long n = 0; n < count; ++n) {
        unsigned long address = 0;
        unsigned char *block =
            CLS_cmc::cmc_get_data(hex->data, hex->len, hex->start_addr, &address, kCmcBlockSize, n);
        if (block == nullptr) {
            r = kCmcNoMemory;
            break;
        }
        r = CLS_cmc::cmc_cmd_bootdata_set(entry, kCmcBootBlock, block, kCmcBlockSize, address);
        if (r == kCmcOk) {
            entry->send_msgsize += kCmcBlockSize;
            CLS_cmc::cmc_progress_chk(entry, &ctl_data->oldprogre, ctl_data->cb_cmc_progress,
                                      ctl_data->obj);
        }
        LocalFree(block);
        if (r != kCmcOk) break;
    }
    if (r == kCmcOk) r = CLS_cmc::cmc_cmd_bootdata_set(entry, kCmcBootEnd, nullptr, 0, 0);
    return r;
}
