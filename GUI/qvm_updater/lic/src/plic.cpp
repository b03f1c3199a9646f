// Device version query. User-interface thread only.
#include "plic.h"

#include "pcmc.h"
#include "pwin_dlg.h"
#include "resource.h"

int CLS_plic::plic_get_version_info(SCMC_DEV_VER *ver) {
    int result = 0;
    SCMC_DEV_VER *ver_tmp = nullptr;
    // At most one device, and only the first device file name is probed.
    unsigned char code = CLS_pcmc::pcmc_get_ver(&ver_tmp, 1, 1);
    if (code == kCmcGetVerOk && ver_tmp != nullptr) {
        *ver = ver_tmp[0];
        result = 1;
    } else if (code == kCmcGetVerFailed) {
        cls_pwin_dlg::pwin_msg_dlg(IDS_MSG_TITLE, nullptr, IDS_COMM_ERROR, nullptr, MB_ICONHAND,
                                   nullptr);
    } else {
        cls_pwin_dlg::pwin_msg_dlg(IDS_MSG_TITLE, nullptr, IDS_NOT_FOUND, nullptr, MB_ICONHAND,
                                   nullptr);
    }
    // Also handed out with kCmcGetVerFailed: it holds the failed device's initial values.
    if (ver_tmp != nullptr) {
        LocalFree(ver_tmp);
    }
    return result;
}
