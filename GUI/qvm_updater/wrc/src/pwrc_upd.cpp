// CLS_pwrc_upd construction: runs the device-search dialog to its end.
// User-interface thread (see pwrc_upd.h for the thread boundaries).
#include "pwrc_upd.h"

#include "pwin_dlg.h"
#include "resource.h"

namespace {
// Cursor id of the system wait cursor, shown over the search dialog.
constexpr unsigned short kWaitCursor = 3;
} // namespace

CLS_pwrc_upd::CLS_pwrc_upd(unsigned long devmax, unsigned long chkmax, SHEX_HEX *hex,
                           unsigned long ver, int ver_chk, int check, int msg, int *result)
    : dev_max(devmax), chk_max(chkmax), hex(hex), hex_ver(ver), ver_chk(ver_chk),
      check(check), msg(msg) {
    SWIN_DLG_INFO dlg_info;
    cls_pwin_dlg::pwin_dlg_init_dlg_info(&dlg_info, IDD_QVM_SEARCH, this,
                                         reinterpret_cast<void *>(cb_dlg_init),
                                         reinterpret_cast<void *>(cb_dlg_control),
                                         reinterpret_cast<void *>(cb_dlg_quit));
    dlg_info.cur_fcs = kWaitCursor;
    {
        unsigned short end_id = 0;
        cls_pwin_dlg dialog(dlg_info, &end_id);
    }
    dlg = nullptr;
    if (result != nullptr) {
        *result = this->result;
    }
}
