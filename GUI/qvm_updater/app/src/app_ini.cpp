#include "app.h"
#include "pcom_lib.h"

void CLS_app::app_init() {
    main_wnd = nullptr;
    help = 1;
    CLS_pcom_lib::pcom_memset(&hex, 0, sizeof hex);
    ver = 0;
    CLS_pcom_lib::pcom_memset(&ver_info, 0, sizeof ver_info);
}
