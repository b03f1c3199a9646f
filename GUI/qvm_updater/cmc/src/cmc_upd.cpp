// One device's update sequence. Runs on the thread that owns the entry;
// the image is only read.
#include "cmc_upd.h"

#include <windows.h>

#include "cmc.h"

namespace {

// Begin, blocks, end, with progress. Exchange result of the first failure.
unsigned short transfer(SCMC_UPD_JOB *job) {
    SCMC_OPENTBL *entry = job->entry;
    const SHEX_DATA *hex = job->image;
    // No image bytes: nothing that could be written (and the begin would
    // erase the device's firmware).
    if (hex == nullptr || hex->data == nullptr || hex->len == 0) {
        job->fail_step = kCmcStepImage;
        return kCmcNoMemory;
    }

    unsigned short r = CLS_cmc::cmc_cmd_bootdata_set(entry, kCmcBootBegin, nullptr, 0, 0);
    if (r != kCmcOk) {
        job->fail_step = kCmcStepBegin;
        return r;
    }

    const unsigned long count = CLS_cmc::cmc_get_blockmax(hex->len, hex->start_addr, kCmcBlockSize);
    entry->total_msgsize += static_cast<std::uint32_t>(count * kCmcBlockSize);
    for (unsigned long n = 0; n < count; ++n) {
        unsigned long address = 0;
        unsigned char *block =
            CLS_cmc::cmc_get_data(hex->data, hex->len, hex->start_addr, &address, kCmcBlockSize, n);
        if (block != nullptr) {
            r = CLS_cmc::cmc_cmd_bootdata_set(entry, kCmcBootBlock, block, kCmcBlockSize, address);
            LocalFree(block);
        } else {
            r = kCmcNoMemory;
        }
        if (r != kCmcOk) {
            job->fail_step = kCmcStepBlock;
            job->fail_addr = static_cast<std::uint32_t>(address);
            return r;
        }
        entry->send_msgsize += kCmcBlockSize;
        CLS_cmc::cmc_progress_chk(entry, job->oldprogre, job->cb_progress, job->obj);
    }

    r = CLS_cmc::cmc_cmd_bootdata_set(entry, kCmcBootEnd, nullptr, 0, 0);
    if (r != kCmcOk) job->fail_step = kCmcStepEnd;
    return r;
}

}  // namespace

unsigned short CLS_cmc_upd::cmc_upd_device(SCMC_UPD_JOB *job) {
    SCMC_OPENTBL *entry = job->entry;
    job->fail_step = kCmcStepNone;
    job->fail_addr = 0;
    entry->send_msgsize = 0;
    entry->total_msgsize = 0;
    *job->oldprogre = 0;

    CLS_cmc::cmc_cmd_led_set(entry, kCmcLedBusy);
    if (job->cb_progress != nullptr) job->cb_progress(job->dev_no, 0, job->obj);
    const unsigned short r = transfer(job);
    entry->end_stat = r;
    if (r != kCmcOk) CLS_cmc::cmc_cmd_led_set(entry, kCmcLedFailed);
    if (r != kCmcOk || job->led_done == kCmcLedDoneAlways) {
        CLS_cmc::cmc_cmd_led_set(entry, kCmcLedDone);
    }
    return r;
}
