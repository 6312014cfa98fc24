// Downloads one blob from a loopback server with download_blob_cached and prints the rate
// and the process's peak working set.
// Usage: blob_download_bench URL SIZE SHA256 CACHE_DIR [--cache-only]
// --cache-only skips the bare WinHTTP read (a run through a fault relay arms it for one).
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/launcher_error.h"
#include "core/text.h"
#include "net/blob_cache.h"
#include "net/winhttp_exchange.h"
#include "net/winhttp_transport.h"
#include "bench_clock.h"

namespace {

using vorn::bench::now_seconds;

// The WinHTTP exchange alone: the same request, the body read and thrown away.
double bare_winhttp_seconds(const vorn::HttpRequest& request) {
    const double start = now_seconds();
    vorn::WinHttpExchange exchange;
    exchange.send(request);
    std::vector<std::uint8_t> buffer(vorn::network_read_size);
    while (exchange.read(buffer.data(), vorn::network_read_size) > 0) {
    }
    return now_seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vorn;
    const bool cache_only = argc == 6 && std::string(argv[5]) == "--cache-only";
    if (argc != 5 && !cache_only) {
        std::fprintf(stderr,
                     "usage: blob_download_bench URL SIZE SHA256 CACHE_DIR [--cache-only]\n");
        return 2;
    }
    try {
        const std::wstring url = to_utf16(argv[1]);
        const std::uint64_t size = std::strtoull(argv[2], nullptr, 10);
        const std::string sha = argv[3];
        const std::filesystem::path blob = std::filesystem::path(to_utf16(argv[4])) / L"bench.blob";
        std::filesystem::remove(blob);

        HttpRequest request = make_request(url, UrlTrust::loopback_only, size);
        request.deadline_ms = 7200000;
        WinHttpTransport transport;

        const double bare = cache_only ? 0.0 : bare_winhttp_seconds(request);
        const double start = now_seconds();
        download_blob_cached(transport, request, blob, size, sha, 3);
        const double seconds = now_seconds() - start;

        PROCESS_MEMORY_COUNTERS memory{};
        GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
        std::filesystem::remove(blob);
        const double mb = static_cast<double>(size) / 1e6;
        if (!cache_only) {
            std::printf("bare WinHTTP read loop: %.1f MB/s (%.2f s)\n", mb / bare, bare);
        }
        std::printf("download_blob_cached: %.1f MB/s (%.2f s)\n", mb / seconds, seconds);
        std::printf("peak working set: %.1f MiB\n",
                    static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0);
        return 0;
    } catch (const LauncherError& error) {
        std::fprintf(stderr, "download failed: stage %s: %s\n", error.stage.c_str(), error.what());
        return 1;
    }
}
