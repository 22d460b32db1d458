#pragma once
// The clock of the benchmarks that time plain loops: seconds since an
// arbitrary start, from the performance counter.

#include <windows.h>

namespace bench {

inline double Now()
{
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

} // namespace bench
