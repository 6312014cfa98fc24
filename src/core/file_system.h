// The safe file-system layer: every file access of the launcher goes through here.
// Links and folders are refused where a plain file is expected, files are replaced
// atomically, reads are bounded, and server-given paths are validated under a root.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/unique_handle.h"

namespace vorn {

// A path counts as a link or a folder when its attributes hold either bit.
inline constexpr DWORD link_or_directory_mask =
    FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
inline constexpr std::size_t longest_relative_path = 30000;
// Paths of 248 or more UTF-16 code units are refused: the game and older tools cannot
// open them.
inline constexpr std::size_t longest_local_path = 247;

// Whether a path from a server document is also checked for links along the way: not
// while the document is read, always before a file is touched.
enum class LinkCheck : bool { skip = false, refuse_links = true };

// The path made absolute and normalised lexically. UNC paths (\\server\share) keep their
// leading separators, which std::filesystem::absolute of this runtime does not.
std::filesystem::path absolute_normal(const std::filesystem::path& path);

// The path as the file system spells it: 8.3 short components expanded and every
// component in its stored case (GetShortPathNameW, then GetLongPathNameW). The path as
// given when it does not exist or cannot be read. Never throws.
std::wstring stored_spelling(const std::wstring& path);

// The form every Windows file call receives: absolute, normalised, with the \\?\ or
// \\?\UNC\ prefix. A path that already has the prefix is returned unchanged.
std::wstring long_path(const std::filesystem::path& path);

// Attributes of long_path(path), or INVALID_FILE_ATTRIBUTES.
DWORD file_attributes(const std::filesystem::path& path);

// One WriteFile of all `size` bytes: 0, or the Win32 code of the failure. A short write is
// ERROR_DISK_FULL: Wine reports a write cut short by a full disk as a success.
DWORD write_whole(HANDLE file, const void* data, DWORD size) noexcept;

// The two Win32 answers that mean "nothing there".
constexpr bool is_not_found(DWORD error) noexcept {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// What a walk along a path found.
struct LinkWalk {
    DWORD unreadable = ERROR_SUCCESS;  // the code of the first component that could not be read
    bool link = false;                 // a component is a link (a reparse point)
};

// Looks at the components of `relative` joined one by one under `base` (not looked at
// itself), up to the first link or the first missing component: nothing below one exists.
// A component whose attributes cannot be read is passed, so a link below it is still found;
// the code of the first such component is kept, and it stands before any link found.
LinkWalk walk_for_links(const std::filesystem::path& base, const std::filesystem::path& relative);

// True when the path exists and is a folder or a reparse point.
bool refuses_as_file(const std::filesystem::path& path);

// True when the path exists and is neither a folder nor a reparse point.
bool is_plain_file(const std::filesystem::path& path);

// Creates a folder of the launcher's own with all its parents and proves it is a real
// folder, not a link.
void ensure_service_directory(const std::filesystem::path& path);

// Replaces the file's content all at once: a temporary in the same folder, flushed,
// then moved over the target. Leaves the old or the new file, never a mixture, and no
// temporary after a failure. `before_replace` runs between the flush and the move: a fault
// point there that throws stands for a kill and leaves the temporary behind, as a kill would.
void write_file_atomic(const std::filesystem::path& path, ByteView bytes,
                       const std::function<void()>& before_replace = {});
void write_text_file_atomic(const std::filesystem::path& path, std::string_view text,
                            const std::function<void()>& before_replace = {});

// True for "<name>.<16 lower-case hex digits>.tmp": the temporary write_file_atomic makes
// for `name`.
bool is_atomic_temporary_of(std::wstring_view candidate, std::wstring_view name);

struct FolderEntry {
    std::wstring name;
    DWORD attributes = 0;
};

// The entries of `folder` that match `pattern`, without "." and "..": none when the folder
// does not exist. Nothing when the listing could not be read to the end, because a partial
// listing must never pass for the whole folder.
std::optional<std::vector<FolderEntry>> list_folder(const std::filesystem::path& folder,
                                                    const wchar_t* pattern = L"*");

// Deletes, in `folder`, the plain files that are temporaries of write_file_atomic for a
// name `is_ours` accepts: what a killed process leaves behind. Errors are ignored.
void remove_stale_temporaries(const std::filesystem::path& folder,
                              const std::function<bool(std::wstring_view)>& is_ours);

// Opens a plain file for reading without following links (GENERIC_READ, FILE_SHARE_READ,
// OPEN_EXISTING, `flags` | FILE_FLAG_OPEN_REPARSE_POINT). A folder or a link is refused with
// stage "unsafe_path" and `refusal`, both before opening (Windows would only say "access
// denied") and after it (the path may have been swapped in between); other failures are
// "read_file". Sets `size` from the open handle.
UniqueFile open_plain_file(const std::filesystem::path& path, DWORD flags, const wchar_t* refusal,
                           std::uint64_t& size);

// Throws LauncherError ("file_limit") for a size above `limit`: the refusal of
// read_file_limited, also for bytes that did not come from a file.
void require_file_limit(std::uint64_t size, std::uint64_t limit);

// Reads a whole plain file of at most `limit` bytes without following links.
Bytes read_file_limited(const std::filesystem::path& path, std::uint64_t limit);

// Turns a relative path from a server document (UTF-8) into an absolute path under
// `root`, refusing dot components, reserved device names, refused characters and,
// with LinkCheck::refuse_links, any existing reparse point along the way.
std::filesystem::path resolve_relative_path(const std::filesystem::path& root,
                                            std::string_view relative, LinkCheck links);

// Throws LauncherError "local_path_length" (Win32 206) for a path that is too long.
void require_local_path_length(const std::filesystem::path& path);

// resolve_relative_path under the client root, then the length rule.
std::filesystem::path resolve_client_path(const std::filesystem::path& root,
                                          std::string_view relative, LinkCheck links);

}  // namespace vorn
