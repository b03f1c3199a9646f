// A check-in as the station would ask it, for the MES client's tests
// (natively and under Wine): a serial of the test's choosing at slot 3,
// with names that need UTF-8.
#pragma once

#include <cstdint>
#include <string>

#include "stn_checkin.h"

inline StnCheckInRequest stn_test_mes_request(std::int32_t serial = 84600017) {
    StnCheckInRequest r;
    r.serial = serial;
    r.index = 3;
    r.station = "Prüfstand 2";
    r.operator_name = "Zoë Ng";
    r.order = "WO-17";
    r.unit_version = 0x00000340;
    r.image_version = 0x00000362;
    r.image_sha256 = std::string(64, 'a');
    r.time = "2026-12-10T06:00:00.000Z";
    return r;
}
