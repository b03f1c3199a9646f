// The device command set (version get, LED set, boot data set), the helpers
// that cut an image into blocks and measure a transfer's progress, and the
// control-block helpers of the controller. No state, no locks; each call
// works on an entry or control block that the calling thread owns.
#pragma once

#include "cmc_def.h"

class CLS_cmc {
public:
    // ---- Commands: one exchange each; results kCmcOk .. kCmcDeviceError.

    // Version get (0x8006). On kCmcOk copies the payload into *verinfo with
    // license_bit unscrambled (payload bytes the device did not send read as
    // 0) and the boot version (response param2) into *bootver; either may be
    // null. On any other result neither is written.
    static unsigned short cmc_cmd_ver_get(SCMC_OPENTBL *open_tbl, SQVM_CMD_VER *verinfo,
                                          unsigned long *bootver);
    // LED set (0x8009), ledtype 1..3.
    static unsigned short cmc_cmd_led_set(SCMC_OPENTBL *open_tbl, unsigned long ledtype);
    // Boot data set (0x0001): type as param1, st_addr as param2, data_len
    // bytes of data as payload (data_len > 0 with null data: kCmcNoMemory).
    static unsigned short cmc_cmd_bootdata_set(SCMC_OPENTBL *open_tbl, unsigned long type,
                                               unsigned char *data, unsigned long data_len,
                                               unsigned long st_addr);

    // ---- Blocks (32-bit address arithmetic).

    // Number of blksize-aligned blocks that cover datalen bytes at startadd;
    // 0 for no bytes or blksize 0.
    static unsigned long cmc_get_blockmax(unsigned long datalen, unsigned long startadd,
                                          unsigned long blksize);
    // Block blkno as a new LocalAlloc buffer of blksize bytes (0xFF where the
    // image has no byte; the caller frees it), its address in *getadd (may
    // be null). Null when blksize is 0, memory is short or the block holds
    // no image byte.
    static unsigned char *cmc_get_data(unsigned char *data, unsigned long datalen,
                                       unsigned long startadd, unsigned long *getadd,
                                       unsigned long blksize, unsigned long blkno);

    // ---- Progress of the entry's current transfer.

    // send_msgsize / total_msgsize in whole percent, halves up, 0..100.
    static unsigned short cmc_get_progress(SCMC_OPENTBL *open_tbl);
    // Reports (0, percent, obj) through cb_cmc_prog (when set) if the
    // percentage grew beyond *oldprogre, and stores it there.
    static void cmc_progress_chk(SCMC_OPENTBL *open_tbl, unsigned short *oldprogre,
                                 CMC_CB_PROGRESS cb_cmc_prog, void *obj);
    // Detail code of a failed device from its end_stat: 1 -> 0xFFFFFFFF,
    // 2 or 3 -> 0xFFFFFFFE (both only while *param is 0), 4 -> end_code.
    static void cmc_endstat_chk(unsigned long *param, SCMC_OPENTBL *open_tbl);

    // ---- Control block.

    // Every field 0 or null.
    static void cmc_initial(SCMC_CTRL_DATA *ctl_data);
    // Closes the start gate's event if it is set, and clears it.
    static void cmc_event_close(SCMC_CTRL_DATA *ctl_data);
    // Check thread, when its result callback kept the controller: hands it
    // back to the user by clearing thd_hdl, unless pcmc_cancel asked for its
    // end meanwhile (thd_hdl kCmcCancelled). true: handed back, and the
    // worker must not touch ctl_data any more; false: the worker destroys it.
    static bool cmc_thd_close(SCMC_CTRL_DATA *ctl_data);
};
