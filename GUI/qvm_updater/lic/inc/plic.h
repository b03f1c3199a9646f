// Device version query for the main dialog: reads the first device's
// version record and tells the user why when there is none.
//
// Threads: user-interface thread only; the device exchange runs on the
// calling thread and blocks it until the device has answered or failed.
#pragma once

#include "cmc_dev_ver.h"

class CLS_plic {
public:
    // 1: the first device file's record was read and copied into *ver.
    // 0: no record; a message box (caption 10302, stop icon) has told the
    //    user why ("Communication error.    " when the read failed, the
    //    cannot-be-found text otherwise) and *ver is unchanged.
    static int plic_get_version_info(SCMC_DEV_VER *ver);
};
