// The device command set (version get, LED set, boot data set), the
// version rule, the helpers that cut an image into blocks and measure a
// transfer's progress, and the control-block helpers of the controller.
// No state, no locks: each call works on an entry or control block that the
// calling thread owns.
#pragma once

#include "cmc_code.h"
#include "cmc_ctl.h"
#include "cmc_tbl.h"
#include "cmc_wire.h"

class CLS_cmc {
public:
    // ---- Commands: one exchange each, through cmc_cmd_send. Each blocks the
    // calling thread until the device has answered (no time-out).

    // Version get (0x8006): the device's version payload and boot version.
    // verinfo and bootver may be null; payload bytes not sent read as 0.
    // Returns kCmcOk          *verinfo (license_bit unscrambled) and *bootver written
    //         kCmcNoMemory    no response buffer; nothing sent
    //         kCmcNotOpen     entry closed; nothing sent
    //         kCmcTransfer    write or read failed, or malformed answer
    //         kCmcDeviceError refused; end_code holds the device's code
    //         (on any result but kCmcOk neither output is written)
    static unsigned short cmc_cmd_ver_get(SCMC_OPENTBL *open_tbl, SQVM_CMD_VER *verinfo,
                                          unsigned long *bootver);
    // LED set (0x8009), ledtype kCmcLedDone/Busy/Failed. Results as above.
    static unsigned short cmc_cmd_led_set(SCMC_OPENTBL *open_tbl, unsigned long ledtype);
    // Boot data set (0x0001): type as param1, st_addr as param2, data_len
    // bytes of data as payload. Results as above; data_len > 0 with null
    // data is kCmcNoMemory (nothing sent).
    static unsigned short cmc_cmd_bootdata_set(SCMC_OPENTBL *open_tbl, unsigned long type,
                                               unsigned char *data, unsigned long data_len,
                                               unsigned long st_addr);

    // ---- Version rule. Pure; any thread.

    // Whether the image (image_ver) is due on a device reporting device_ver.
    // Numbers (low 16 bits) are ordered, suffixes (high 16 bits) compared
    // whole.
    // Returns kCmcVerUpdate   device has no firmware, an older number, or
    //                         the same number with another suffix
    //         kCmcVerCurrent  same version, or a newer number
    static unsigned char cmc_ver_cmp(std::uint32_t image_ver, std::uint32_t device_ver);

    // ---- Blocks (32-bit address arithmetic). Pure; any thread.

    // Number of blksize-aligned blocks that cover datalen bytes at startadd;
    // 0 for no bytes or blksize 0.
    static unsigned long cmc_get_blockmax(unsigned long datalen, unsigned long startadd,
                                          unsigned long blksize);
    // Block blkno as a new LocalAlloc buffer of blksize bytes (0xFF where the
    // image has no byte), its address in *getadd (may be null).
    // Returns the buffer (the caller frees it), or null when blksize is 0,
    // memory is short or the block holds no image byte.
    static unsigned char *cmc_get_data(unsigned char *data, unsigned long datalen,
                                       unsigned long startadd, unsigned long *getadd,
                                       unsigned long blksize, unsigned long blkno);

    // ---- Progress of the entry's current transfer. The entry's thread.

    // send_msgsize / total_msgsize in whole percent, halves up, 0..100.
    static unsigned short cmc_get_progress(SCMC_OPENTBL *open_tbl);
    // Reports (0, percent, obj) through cb_cmc_prog (when set) if the
    // percentage grew beyond *oldprogre, and stores it there.
    static void cmc_progress_chk(SCMC_OPENTBL *open_tbl, unsigned short *oldprogre,
                                 CMC_CB_PROGRESS cb_cmc_prog, void *obj);
    // Detail code of a failed device from its end_stat into *param:
    // kCmcNoMemory -> kCmcDetailNoMemory, kCmcNotOpen or kCmcTransfer ->
    // kCmcDetailTransfer (both only while *param is 0), kCmcDeviceError ->
    // end_code.
    static void cmc_endstat_chk(unsigned long *param, SCMC_OPENTBL *open_tbl);
    // Detail code of an exchange that ended with result (kCmc* exchange
    // result) and the device's end_code. Pure; any thread.
    // Returns 0 for kCmcOk, kCmcDetailNoMemory, end_code for
    //         kCmcDeviceError, kCmcDetailTransfer for anything else
    static unsigned long cmc_detail_of(unsigned short result, std::uint32_t end_code);

    // ---- Control block. The thread that owns it.

    // Every field 0 or null.
    static void cmc_initial(SCMC_CTRL_DATA *ctl_data);
    // Closes the start gate's event if it is set, and clears it.
    static void cmc_event_close(SCMC_CTRL_DATA *ctl_data);
    // Check thread, after its result callback kept the controller: hands it
    // back to the user. Does not block.
    // Returns true   handed back (thd_hdl kCmcNoThread); the worker must not
    //                touch ctl_data any more
    //         false  pcmc_cancel marked it (kCmcCancelled); the worker
    //                destroys the controller
    static bool cmc_thd_close(SCMC_CTRL_DATA *ctl_data);
};
