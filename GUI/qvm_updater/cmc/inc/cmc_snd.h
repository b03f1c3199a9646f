// Device files, the device open table and one framed exchange per command.
// No state, no locks: a table and its handles are used by one thread at a
// time.
#pragma once

#include <windows.h>

#include "cmc_code.h"
#include "cmc_tbl.h"
#include "cmc_wire.h"

// Watches the exchanges of one thread, for callers that give each exchange
// a deadline (the station's workers). The window program sets none, so its
// exchanges stay as they are. Called on the thread that sends.
class CmcExchangeWatch {
public:
    virtual ~CmcExchangeWatch() = default;
    // Before an exchange's write on handle. Returns false to fail the
    // exchange at once (kCmcTransfer, nothing written).
    virtual bool begin(HANDLE handle) = 0;
    // After the exchange's last file call, whatever its result.
    virtual void end() = 0;
};

class CLS_cmc_snd {
public:
    // Sets the calling thread's watch (null: none) for every later
    // cmc_cmd_send on it. The watch must outlive its use on that thread.
    static void cmc_watch_thread(CmcExchangeWatch *watch);

    // Opens device file "\\.\R846_QVM2K_<indexno>" for reading and writing,
    // unshared. Blocks only for the open; any thread.
    // Returns the handle, or INVALID_HANDLE_VALUE when the device is absent.
    static HANDLE cmc_create_file(unsigned long indexno);

    // Closes *file_handle unless it is already closed (INVALID_HANDLE_VALUE,
    // or null), and leaves INVALID_HANDLE_VALUE there. Harmless twice.
    static void cmc_close_file(void **file_handle);

    // Opens devices: probes names 0, 1, ... below chkmax (0 meaning 256;
    // never above 255) until devmax are open. Blocks for the opens; any
    // thread, which then owns the table.
    // Returns the count; when above 0, *dev_tbl holds the new table (else
    // null). A device that cannot get an entry (out of memory) is closed and
    // the search stops there.
    static unsigned long cmc_devtbl_edit(SCMC_OPENTBL **dev_tbl, unsigned long devmax,
                                         unsigned long chkmax);

    // Closes every entry's device and releases the table (null is fine).
    static void cmc_devtbl_free(SCMC_OPENTBL *dev_tbl, unsigned long dev_num);

    // New command message of datlen + 17 bytes; *sndlen receives its length
    // (0 on failure). Pure; any thread.
    // Returns the message (LocalAlloc; the caller frees it), or null when
    // it cannot be had or datlen > 0 comes without data.
    static unsigned char *cmc_send_msg_create(unsigned short comid, unsigned long para1,
                                              unsigned long para2, unsigned long datlen,
                                              unsigned char *data, unsigned long *sndlen);

    // Framing of the datlen bytes received in rcvdata (only read; header
    // bytes beyond datlen count as 0). Pure; any thread.
    // Returns 0, or the kCmcChk* flags of every check that failed.
    static unsigned short cmc_recv_msg_chk(unsigned long datlen, unsigned char *rcvdata);

    // One exchange: writes the command, reads one response of up to
    // *rcv_len bytes into rcv_data (zero-filled, at least 17 bytes) and
    // stores the bytes read in *rcv_len. Blocks the calling thread, which
    // owns the entry, until the device answers (no time-out of its own; a
    // thread's watch may cancel it, and then it fails with kCmcTransfer).
    // Returns kCmcOk          well framed, code 0x55
    //         kCmcNoMemory    no message buffer, or snd_len > 0 without
    //                         snd_data; nothing written
    //         kCmcNotOpen     the entry's handle is closed; nothing written
    //         kCmcTransfer    write or read failed, short write, or any
    //                         framing flag (end_code unchanged)
    //         kCmcDeviceError well framed, code not 0x55; end_code = param2
    static unsigned short cmc_cmd_send(SCMC_OPENTBL *open_tbl, unsigned short cmd_id,
                                       unsigned long param1, unsigned long param2,
                                       unsigned char *snd_data, unsigned long snd_len,
                                       unsigned char *rcv_data, unsigned long *rcv_len);
};
