// The update action on a prepared client, with its time split by installation phase and
// the process's peak working set. Usage: update_bench CLIENT_DIR CACHE_DIR FEED_URL
// (the feed's manifest.json and blobs are under FEED_URL).
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench_clock.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "engine/actions/engine_actions.h"
#include "engine/client/update_engine.h"
#include "net/winhttp_transport.h"

namespace {

using namespace vorn;

using vorn::bench::now_seconds;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr,
                     "usage: update_bench CLIENT_DIR CACHE_DIR MANIFEST_URL UPDATE_BASE_URL\n");
        return 2;
    }
    LauncherConfig config;
    config.root = to_utf16(argv[1]);
    config.cache_dir = to_utf16(argv[2]);
    config.local_test = true;
    config.endpoints.manifest_url = to_utf16(argv[3]);
    config.endpoints.update_base_url = to_utf16(argv[4]);

    // Each moment of the installation is charged to the phase it ends.
    std::map<std::string, double> phases;
    double mark = 0;
    auto charge = [&](const char* phase) {
        const double now = now_seconds();
        phases[phase] += now - mark;
        mark = now;
    };
    try {
        UpdateEngine engine(
            config, std::make_shared<WinHttpTransport>(),
            [&](const UiSnapshot& view) {
                if (view.phase == Phase::downloading && view.title == L"Загружаем обновление") {
                    charge(view.detail.starts_with(L"Файл: 1 /") ? "1 verify and expected states"
                                                                 : "3 staging");
                }
            },
            {});
        engine.services.fault_point = [&](std::string_view point) {
            if (point == "downloaded") {
                charge("2 download");
            } else if (point == "staged") {
                charge("3 staging");
            } else if (point == "journal_written") {
                charge("4 backup");
            } else if (point == "all_published") {
                charge("5 publish");
            }
        };
        const double start = now_seconds();
        mark = start;
        const UiSnapshot view = run_engine_action(engine, Action::update);
        const double total = now_seconds() - start;
        charge("6 proof and receipt");
        PROCESS_MEMORY_COUNTERS memory{};
        GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
        std::printf("update: %s (%.2f s in all)\n", to_utf8(view.detail).c_str(), total);
        for (const auto& [phase, seconds] : phases) {
            std::printf("  %-32s %7.2f s\n", phase.c_str() + 2, seconds);
        }
        std::printf("peak working set: %.1f MiB\n",
                    static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0);
        std::printf("launcher seconds: %.3f\n", total);
        return 0;
    } catch (const LauncherError& error) {
        std::fprintf(stderr, "failed: stage %s: %s\n", error.stage.c_str(), error.what());
        return 1;
    }
}
