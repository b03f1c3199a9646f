// Shows the skinned test dialog for about three seconds (for a screenshot
// of a test session); the pointer rests on the maximize button, so that
// one shows its focused image. Not a test.
#include "skin_dialog.h"
#include "skin_test_res.h"
#include "skin_util.h"

int main() {
    DlgRecord rec;
    rec.steps = {[](cls_pwin_dlg *dlg) {
        dlg->pwin_dlg_set_text(IDC_EDIT, "plain edit");
        mouse_to(GetDlgItem(dlg->m_hWnd, IDC_MAX), 8, 8);
    }};
    unsigned short result = 0;
    cls_pwin_dlg dlg(skin_info(&rec), &result);  // ends when the script gives up
    return 0;
}
