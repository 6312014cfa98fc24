// The one exception type of the launcher, and the two shared translators.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vorn {

// Every failure of every operation travels as this error: a stage code naming the
// step that failed, the Russian sentence the user reads, and counters for the
// diagnostic report. what() is the message in UTF-8.
class LauncherError : public std::runtime_error {
  public:
    LauncherError(std::string stage, std::wstring message, std::uint32_t win32 = 0,
                  std::uint32_t http_status = 0);
    ~LauncherError() override;
    LauncherError(const LauncherError&) = default;
    LauncherError(LauncherError&&) = default;
    LauncherError& operator=(const LauncherError&) = default;
    LauncherError& operator=(LauncherError&&) = default;

    std::string stage;
    std::string event = "update_failed";  // or "manifest_failed"
    std::wstring message;
    std::string archive_path;  // client path of the archive a "delta_wrong_base" is about
    std::uint32_t win32 = 0;
    std::uint32_t http_status = 0;
    std::uint64_t bytes = 0;
    std::uint64_t expected_bytes = 0;
    std::uint64_t elapsed_ms = 0;
    std::uint32_t file_count = 0;
    bool parse_ok = false;
    std::string content_encoding = "none";
    nlohmann::json attempts = nlohmann::json::array();
};

// What a user reads when a write found the disk full.
inline constexpr const wchar_t* disk_full_message = L"Недостаточно свободного места на диске.";

// ERROR_DISK_FULL or ERROR_HANDLE_DISK_FULL: the volume has no room for a write.
constexpr bool is_disk_full(std::uint32_t code) {
    return code == 112 || code == 39;
}

// Throws a LauncherError for a failed Win32 file call; the message is chosen from the code.
[[noreturn]] void throw_win32_error(std::string stage, std::uint32_t code);

// Builds (does not throw) the error of a failed WinHTTP call. A few well-known codes
// replace the caller's stage with a specific one.
LauncherError make_transport_error(std::string stage, std::uint32_t code);

// One failed attempt as a diagnostic report lists it: the ten fields of the error, with
// `number` counting attempts from 1. Never throws for a valid error.
nlohmann::json attempt_record(const LauncherError& error, int number);

}  // namespace vorn
