// The clock and the median of the Windows benchmarks that time whole
// programs under Wine.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace bench_support {

// Microseconds of the performance counter (its rate, fixed at boot, read
// once).
inline double now_us() {
    static const double per_second = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / per_second;
}

inline double now_ms() { return now_us() / 1e3; }

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace bench_support
