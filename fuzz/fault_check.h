// What counts as a fault of a reader, and the record a fault leaves behind.
//
// Stage rule: a refusal is a LauncherError whose stage a diagnostic report accepts
// (is_known_stage). Two kinds of stage outside that list are refusals too, as the report
// treats them: the safe file layer's Win32 stages ("read_file", "write_file", "flush_file"),
// which a report carries as "unknown", and stages a reader declares as internal because its
// caller swallows them before any report (the diagnostics queue's "diagnostic_report").
// Any other stage, any other exception type (unless the reader's contract names
// std::exception as its refusal), an exception from a reader that promises never to
// throw, a crash, an input that runs longer than one second and an accepted input that
// breaks the reader's promise are faults.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vorn::fuzz {

inline constexpr double slowest_input_seconds = 1.0;

// Thrown by a target when an accepted input breaks what the reader promises.
struct InvariantBroken {
    std::string what;
};

[[noreturn]] inline void broken(std::string what) {
    throw InvariantBroken{std::move(what)};
}

struct StagePolicy {
    bool never_throws = false;                 // the reader reports damage by its result
    bool std_exception_is_refusal = false;     // its contract ends start-up with std::exception
    std::vector<std::string> internal_stages;  // swallowed by the reader's caller
};

bool is_refusal_stage(const std::string& stage, const StagePolicy& policy);

struct Verdict {
    enum class Kind { accepted, refused, fault } kind = Kind::accepted;
    std::string label;  // the refusal's stage, or what the fault was
};

// Runs one reader call. The call returns "" when the input was accepted, or a label when
// the reader refused it without throwing.
Verdict run_checked(const std::function<std::string()>& call, const StagePolicy& policy);

// The input being read now, for the crash handler and the watchdog.
void set_current_input(const std::string& reader, std::uint64_t seed, std::uint64_t index,
                       const std::string& data);
void clear_current_input();

// Writes the current input as fault-<reader>-seed<seed>-input<index>.bin in the fault
// folder and prints where; returns the file's path.
std::filesystem::path save_current_input(const std::string& reason);

// Crash handlers (unhandled SEH exceptions, abort, terminate) that save the current input
// before the process dies, and a watchdog that saves an input running past one second.
void install_fault_recorders(const std::filesystem::path& fault_dir);
void stop_fault_recorders();

}  // namespace vorn::fuzz
