// The benchmarks' clock: seconds from the performance counter.
#pragma once

#include <windows.h>

namespace vorn::bench {

inline double now_seconds() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace vorn::bench
