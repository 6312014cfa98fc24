#include "delta/observed_files.h"

#include <windows.h>

namespace vorn {
namespace {

// One job per file: it observes the file, or raises the error that locating it gave, at
// the file's turn.
std::vector<OrderedWork<HeldFile>::Job> observing_jobs(
    std::size_t count, const std::function<std::filesystem::path(std::size_t)>& locate, bool hold) {
    std::vector<OrderedWork<HeldFile>::Job> jobs(count);
    for (std::size_t i = 0; i < count; ++i) {
        try {
            jobs[i] = [path = locate(i), hold](const HashProgress& progress) {
                const DeltaProgress reports = [&](std::string_view, const std::string&,
                                                  std::uint64_t done,
                                                  std::uint64_t total) { progress(done, total); };
                return hold ? observe_and_hold(path, reports)
                            : HeldFile{observe_file(path, reports), {}};
            };
        } catch (...) {
            jobs[i] = [error = std::current_exception()](const HashProgress&) -> HeldFile {
                std::rethrow_exception(error);
            };
        }
    }
    return jobs;
}

}  // namespace

ObservedFiles::ObservedFiles(std::size_t count,
                             const std::function<std::filesystem::path(std::size_t)>& locate,
                             bool hold)
    : work_(observing_jobs(count, locate, hold), hashing_threads()) {}

FileState ObservedFiles::take(std::size_t index, const DeltaProgress& progress,
                              const std::string& display) {
    return take_held(index, progress, display).state;
}

HeldFile ObservedFiles::take_held(std::size_t index, const DeltaProgress& progress,
                                  const std::string& display) {
    // The worker's progress comes back as (done, total): the first is the start, the rest
    // are read bytes, at most one per interval until the last.
    bool started = false;
    bool ended = false;
    ULONGLONG last_report = 0;
    return work_.take(index, [&](std::uint64_t done, std::uint64_t total) {
        const ULONGLONG now = GetTickCount64();
        if (!started) {
            started = true;
            last_report = now;
            report(progress, "hash_start", display, 0, total);
        } else if (!ended && (done == total || now - last_report >= hash_progress_interval_ms)) {
            ended = done == total;
            last_report = now;
            report(progress, "hash_bytes", display, done, total);
        }
    });
}

}  // namespace vorn
