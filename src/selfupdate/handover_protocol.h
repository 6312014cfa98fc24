// What the launcher and its updater agree on: the state files of a hand-over, the ready
// event, the command line's quoting, and who holds a hand-over while it runs.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

inline constexpr const wchar_t* failed_digest_file_name = L"self-update-failed-sha-v2.txt";
inline constexpr const wchar_t* blocked_digest_file_name = L"self-update-blocked-sha-v2.txt";
// The process that holds the hand-over of the blocked digest: first the launcher that
// starts it, then the updater, then, when a build was put back without having run, the
// launcher the updater started. Gone when the hand-over ended on purpose.
inline constexpr const wchar_t* run_holder_file_name = L"self-update-run-v1.txt";
// A new build in place of the old one that has not proven itself yet: written by the
// updater before the move, removed once the build proved itself or was put back. Found by
// a later start with no live holder, it means the proof was cut short (a kill, a logoff):
// that start puts the previous build back.
inline constexpr const wchar_t* unproven_build_file_name = L"self-update-unproven-v1.txt";
inline constexpr DWORD updater_ready_timeout_ms = 15000;

// Takes "<key><value>\r\n" off the front of text and returns the value: the line form of
// every small state file here. None, text untouched, when the text does not start so.
std::optional<std::string> take_key_line(std::string_view& text, std::string_view key);

// A digest file of at most 256 bytes without its trailing CR and LF; "" for a missing,
// unreadable or oversized file. Never throws.
std::string read_digest_file(const std::filesystem::path& path);

// "Local\VornellUpdaterReadyV1-<launcher process id>-<32 hex id>": the event the updater
// sets to confirm it runs from the client's element folder.
std::wstring ready_event_name(DWORD process_id, const std::string& ready_id);

// The path in double quotes; one holding a double quote throws LauncherError
// ("self_update_spawn").
std::wstring quote_path(const std::filesystem::path& path);

enum class RunHolder {
    none,   // no record: the hand-over ended on purpose, or an older build wrote the file
    live,   // the recorded process runs
    ended,  // the recorded process is gone without ending the hand-over: killed
};

// Records `process` (its id and start time) as the holder of the hand-over. Throws
// LauncherError when the record cannot be written.
void record_run_holder(const std::filesystem::path& state_dir, HANDLE process);

// Whether the recorded holder still runs. An unreadable or damaged record counts as ended:
// it holds nothing. Never throws.
RunHolder run_holder(const std::filesystem::path& state_dir);

// Removes the record; an absent one is fine. Never throws.
void forget_run_holder(const std::filesystem::path& state_dir) noexcept;

struct UnprovenBuild {
    std::string sha256;    // of the new build at the launcher's path
    std::string previous;  // of the build in the backup
};

// Writes the record ("sha256=<digest>\r\nprevious=<digest>\r\n"). Throws LauncherError.
void record_unproven_build(const std::filesystem::path& state_dir, const UnprovenBuild& build);

// The record; none when missing, unreadable or not exactly that form. Never throws.
std::optional<UnprovenBuild> read_unproven_build(const std::filesystem::path& state_dir);

// Removes the record; an absent one is fine. Never throws.
void forget_unproven_build(const std::filesystem::path& state_dir) noexcept;

}  // namespace vorn
