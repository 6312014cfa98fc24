// Client paths derived from server documents, and the two probes of state files.
#pragma once

#include <filesystem>
#include <string_view>

namespace vorn {

struct UpdateEngine;

// Paths of 248 or more UTF-16 code units are refused: the game and older tools cannot
// open them.
inline constexpr std::size_t longest_local_path = 247;

// Throws LauncherError "local_path_length" (Win32 206) for a path that is too long.
void require_local_path_length(const std::filesystem::path& path);

// `relative` (UTF-8) under the client root through the relative-path rules, then the
// length rule. `check_links` is false while a document is read, true before a file is
// touched.
std::filesystem::path resolve_client_path(const UpdateEngine& engine, std::string_view relative,
                                          bool check_links);

// True when the path has any attributes; "local_state" for a probe failure other than
// "not found".
bool file_exists(const std::filesystem::path& path);

// Deletes a file; an absent one is fine. "local_state" for any other failure.
void remove_file_if_present(const std::filesystem::path& path);

}  // namespace vorn
