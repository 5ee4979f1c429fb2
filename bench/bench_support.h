// Shared pieces of the benchmarks.
#pragma once

#include <windows.h>

namespace kivobench {

// A monotonic clock in seconds.
inline double Seconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace kivobench
