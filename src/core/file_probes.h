// Small questions about files that the launcher asks everywhere: is it there, how big is
// it, and removing one that may already be gone.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vorn {

// A 64-bit size from the two halves Win32 structures carry.
constexpr std::uint64_t size_from_halves(DWORD high, DWORD low) noexcept {
    return static_cast<std::uint64_t>(high) << 32 | low;
}

// True when the path has any attributes; "local_state" for a probe failure other than
// "not found".
bool file_exists(const std::filesystem::path& path);

// Deletes a file; an absent one is fine. "local_state" for any other failure.
void remove_file_if_present(const std::filesystem::path& path);

// Takes the read-only attribute off a file that has it, so that it can be flushed,
// replaced or deleted. False (GetLastError set) when the attributes cannot be read or
// changed; an absent file is false with a not-found error.
bool clear_read_only(const std::filesystem::path& path);

// True when both paths open the same file (same volume serial and file index), however
// they are spelled: a short name, a substituted or mapped drive. False when either cannot
// be opened. Never throws.
bool is_same_file(const std::filesystem::path& a, const std::filesystem::path& b);

// Which file an open handle is on: its volume and its index there. Taken while the file
// still has the name it was opened by (Wine cannot name the volume of a handle whose file
// was renamed since).
struct FileIdentity {
    DWORD volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> identity_of_open(HANDLE file);

// True when `path` itself (a link is not followed) is the file `identity` names. False when
// it cannot be opened. Never throws.
bool names_file(const std::filesystem::path& path, const FileIdentity& identity);

// The size of a file; a failure is "local_io".
std::uint64_t client_file_size(const std::filesystem::path& path);

}  // namespace vorn
