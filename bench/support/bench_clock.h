// The clock and the median of the Windows benchmarks that time whole
// programs under Wine.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace bench_support {

// Milliseconds of the performance counter.
inline double now_ms() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e3 / static_cast<double>(f.QuadPart);
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace bench_support
