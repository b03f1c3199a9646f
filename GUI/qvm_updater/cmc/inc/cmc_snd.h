// Device files, the device open table and one framed exchange per command.
// No state, no locks: a table and its handles are used by one thread at a
// time (the controller hands them between threads only at thread start and
// end).
#pragma once

#include <windows.h>

#include "cmc_def.h"

class CLS_cmc_snd {
public:
    // Opens device file "\\.\R846_QVM2K_<indexno>" for reading and writing,
    // unshared. INVALID_HANDLE_VALUE when the device is absent.
    static HANDLE cmc_create_file(unsigned long indexno);

    // Closes *file_handle unless it is already closed (INVALID_HANDLE_VALUE,
    // or null), and leaves INVALID_HANDLE_VALUE there. Harmless twice.
    static void cmc_close_file(void **file_handle);

    // Probes names 0, 1, ... (below chkmax, 0 meaning 256; never above 255)
    // and opens at most devmax devices. Returns the count and, when it is
    // above 0, the new table in *dev_tbl (else null). When the table cannot
    // grow, the device just opened is closed and the search stops there.
    static unsigned long cmc_devtbl_edit(SCMC_OPENTBL **dev_tbl, unsigned long devmax,
                                         unsigned long chkmax);

    // Closes every entry's device and releases the table (null is fine).
    static void cmc_devtbl_free(SCMC_OPENTBL *dev_tbl, unsigned long dev_num);

    // New command message (LocalAlloc; the caller frees it) of datlen + 17
    // bytes, or null when it cannot be had or when datlen > 0 comes without
    // data. *sndlen receives the length (0 on failure).
    static unsigned char *cmc_send_msg_create(unsigned short comid, unsigned long para1,
                                              unsigned long para2, unsigned long datlen,
                                              unsigned char *data, unsigned long *sndlen);

    // Framing flags (kCmcChk*) of the datlen bytes received in rcvdata.
    // Header bytes beyond datlen count as 0; rcvdata is only read.
    static unsigned short cmc_recv_msg_chk(unsigned long datlen, unsigned char *rcvdata);

    // One exchange: writes the command, reads one response of up to
    // *rcv_len bytes into rcv_data (zero-filled, at least 17 bytes) and
    // stores the bytes read in *rcv_len. Result: kCmcOk .. kCmcDeviceError
    // (cmc_def.h). snd_len > 0 without snd_data is kCmcNoMemory (the caller's
    // data block is missing); nothing is written then.
    static unsigned short cmc_cmd_send(SCMC_OPENTBL *open_tbl, unsigned short cmd_id,
                                       unsigned long param1, unsigned long param2,
                                       unsigned char *snd_data, unsigned long snd_len,
                                       unsigned char *rcv_data, unsigned long *rcv_len);
};
