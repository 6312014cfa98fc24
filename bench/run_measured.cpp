// Runs one program to its end and prints its exit code, wall time and peak working set as
// JSON: the launcher's own figures, measured from outside it.
// Usage: run_measured PROGRAM [ARGUMENTS...]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/unique_handle.h"

namespace {

std::wstring quoted(const wchar_t* argument) {
    return L"\"" + std::wstring(argument) + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: run_measured PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    std::wstring command = quoted(argv[1]);
    for (int i = 2; i < argc; ++i) {
        command += L" " + quoted(argv[i]);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    LARGE_INTEGER begin, end, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    if (!CreateProcessW(argv[1], command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
        std::fprintf(stderr, "cannot start the program: error %lu\n", GetLastError());
        return 2;
    }
    const vorn::UniqueKernelHandle process(started.hProcess);
    const vorn::UniqueKernelHandle thread(started.hThread);
    // Sampled while it runs: under Wine the counters of an ended process may read as zero.
    SIZE_T peak = 0;
    for (;;) {
        const DWORD waited = WaitForSingleObject(process.get(), 20);
        PROCESS_MEMORY_COUNTERS memory{};
        if (GetProcessMemoryInfo(process.get(), &memory, sizeof(memory))) {
            peak = std::max(peak, memory.PeakWorkingSetSize);
        }
        if (waited != WAIT_TIMEOUT) {
            break;
        }
    }
    QueryPerformanceCounter(&end);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.get(), &exit_code);
    std::printf("{\"exit_code\": %lu, \"wall_ms\": %.1f, \"peak_working_set\": %llu}\n", exit_code,
                static_cast<double>(end.QuadPart - begin.QuadPart) * 1000.0 /
                    static_cast<double>(frequency.QuadPart),
                static_cast<unsigned long long>(peak));
    return 0;
}
