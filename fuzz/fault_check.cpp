#include "fault_check.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>

#include "core/launcher_error.h"
#include "core/stage_codes.h"

namespace vorn::fuzz {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<const char*, 3> file_layer_stages = {"read_file", "write_file", "flush_file"};
constexpr auto watchdog_period = std::chrono::milliseconds(50);

struct CurrentInput {
    std::mutex lock;
    std::string reader;
    std::uint64_t seed = 0;
    std::uint64_t index = 0;
    std::string data;
    bool active = false;
    bool saved = false;
    Clock::time_point started;
};

CurrentInput current;
std::filesystem::path fault_folder;
std::atomic<bool> watching{false};
std::thread watchdog;

// Called with the lock held.
std::filesystem::path write_input(const std::string& reason) {
    const std::string name = "fault-" + current.reader + "-seed" + std::to_string(current.seed) +
                             "-input" + std::to_string(current.index) + ".bin";
    const std::filesystem::path path = fault_folder / name;
    if (FILE* file = _wfopen(path.c_str(), L"wb")) {
        std::fwrite(current.data.data(), 1, current.data.size(), file);
        std::fclose(file);
    }
    std::fprintf(stderr, "FAULT reader=%s seed=%llu index=%llu reason=%s input=%s\n",
                 current.reader.c_str(), static_cast<unsigned long long>(current.seed),
                 static_cast<unsigned long long>(current.index), reason.c_str(),
                 path.string().c_str());
    std::fflush(stderr);
    current.saved = true;
    return path;
}

// The process is dying: the lock may be held by the thread that crashed, so it is not
// taken; the input is not being changed while a reader runs.
void save_dying(const char* reason) {
    if (current.active && !current.saved) {
        write_input(reason);
    }
}

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* pointers) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "crash 0x%08lx",
                  static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode));
    save_dying(reason);
    return EXCEPTION_CONTINUE_SEARCH;
}

void on_abort(int) {
    save_dying("abort");
    std::_Exit(3);
}

void on_terminate() {
    if (!current.active) {
        std::fprintf(stderr, "fuzz driver: terminated outside a reader\n");
    }
    save_dying("terminate");
    std::_Exit(3);
}

void watch() {
    while (watching) {
        std::this_thread::sleep_for(watchdog_period);
        const std::lock_guard hold(current.lock);
        const std::chrono::duration<double> running = Clock::now() - current.started;
        if (current.active && !current.saved && running.count() > slowest_input_seconds) {
            write_input("running for more than 1 s");
        }
    }
}

}  // namespace

bool is_refusal_stage(const std::string& stage, const StagePolicy& policy) {
    if (is_known_stage(stage)) {
        return true;
    }
    for (const char* file_stage : file_layer_stages) {
        if (stage == file_stage) {
            return true;
        }
    }
    for (const std::string& internal : policy.internal_stages) {
        if (stage == internal) {
            return true;
        }
    }
    return false;
}

Verdict run_checked(const std::function<std::string()>& call, const StagePolicy& policy) {
    using Kind = Verdict::Kind;
    const Clock::time_point start = Clock::now();
    Verdict verdict;
    try {
        const std::string label = call();
        verdict = label.empty() ? Verdict{Kind::accepted, ""} : Verdict{Kind::refused, label};
    } catch (const InvariantBroken& broken_promise) {
        verdict = {Kind::fault, "invariant: " + broken_promise.what};
    } catch (const LauncherError& error) {
        if (policy.never_throws) {
            verdict = {Kind::fault, "threw LauncherError " + error.stage};
        } else if (is_refusal_stage(error.stage, policy)) {
            verdict = {Kind::refused, error.stage};
        } else {
            verdict = {Kind::fault, "stage not in the list: " + error.stage};
        }
    } catch (const std::exception& error) {
        if (policy.std_exception_is_refusal && !policy.never_throws) {
            verdict = {Kind::refused, "std::exception"};
        } else {
            verdict = {Kind::fault, std::string("std::exception: ") + error.what()};
        }
    } catch (...) {
        verdict = {Kind::fault, "exception of an unknown type"};
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    if (verdict.kind != Kind::fault && took.count() > slowest_input_seconds) {
        verdict = {Kind::fault, "took " + std::to_string(took.count()) + " s"};
    }
    return verdict;
}

void set_current_input(const std::string& reader, std::uint64_t seed, std::uint64_t index,
                       const std::string& data) {
    const std::lock_guard hold(current.lock);
    current.reader = reader;
    current.seed = seed;
    current.index = index;
    current.data = data;
    current.active = true;
    current.saved = false;
    current.started = Clock::now();
}

void clear_current_input() {
    const std::lock_guard hold(current.lock);
    current.active = false;
}

std::filesystem::path save_current_input(const std::string& reason) {
    const std::lock_guard hold(current.lock);
    if (current.saved) {
        return fault_folder;  // the watchdog saved it already
    }
    return write_input(reason);
}

void install_fault_recorders(const std::filesystem::path& fault_dir) {
    fault_folder = fault_dir;
    SetUnhandledExceptionFilter(on_unhandled);
    std::signal(SIGABRT, on_abort);
    std::set_terminate(on_terminate);
    watching = true;
    watchdog = std::thread(watch);
}

void stop_fault_recorders() {
    watching = false;
    if (watchdog.joinable()) {
        watchdog.join();
    }
}

}  // namespace vorn::fuzz
