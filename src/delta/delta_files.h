// The file work every delta operation shares: observing a file's state, reading and hashing
// it without following links, resolving entry paths, moving and deleting, and the lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/file_probes.h"
#include "core/unique_handle.h"
#include "delta/delta_roots.h"
#include "model/file_digest.h"
#include "model/manifest.h"

namespace vorn {

inline constexpr const wchar_t* delta_lock_name = L".vorn-delta.lock";

// (event, entry path, done, total): what the delta operations report as they go. May be
// empty.
using DeltaProgress = std::function<void(std::string_view event, const std::string& path,
                                         std::uint64_t done, std::uint64_t total)>;

void report(const DeltaProgress& progress, std::string_view event, const std::string& path,
            std::uint64_t done, std::uint64_t total);

// What is at a path: nothing, or a file with its digest. Equal when both are absent or
// both exist with equal digests.
struct FileState {
    bool exists = false;
    FileDigest digest;

    bool operator==(const FileState& other) const {
        return exists == other.exists && (!exists || digest == other.digest);
    }
    bool is(const FileDigest& expected) const { return exists && digest == expected; }
    bool is(const std::optional<FileDigest>& expected) const {
        return expected ? is(*expected) : !exists;
    }
};

// States of live files a caller observed earlier in the same action, by entry path: a plan
// takes them in place of reading those files again. Every step after the plan proves what
// it relies on, so a file changed since only stops the run.
using KnownStates = std::map<std::string, FileState, ManifestPathLess>;

// Writes every byte at the file's position ("delta_write").
void write_delta_bytes(HANDLE file, const std::uint8_t* data, std::size_t size);

[[noreturn]] void fail_delta(const char* stage);                  // the package message
[[noreturn]] void fail_delta_io(const char* stage, DWORD error);  // the I/O message

// A plain file opened for shared sequential reading, links not followed ("delta_read",
// "delta_reparse", "delta_file_limit").
struct DeltaReadFile {
    UniqueFile handle;
    std::uint64_t size = 0;
};
DeltaReadFile open_delta_file(const std::filesystem::path& path, DWORD share = FILE_SHARE_READ);

// Hashes from the start in 1 MiB blocks, reporting "hash_start" and "hash_bytes" under
// `display` ("delta_seek", "delta_read", "delta_hash", "delta_file_changed").
FileDigest hash_delta_file(const DeltaReadFile& file, const DeltaProgress& progress,
                           const std::string& display);

// The state of a path: absent, or opened and hashed ("delta_observe" for a probe failure).
FileState observe_file(const std::filesystem::path& path, const DeltaProgress& progress = {},
                       const std::string& display = {});

// A file observed through a handle kept open without write sharing: while it is held no one
// can write the file, so its state stays true wherever the file is renamed (renames and
// deletes are shared). An absent file holds nothing.
struct HeldFile {
    FileState state;
    UniqueFile handle;
    std::optional<FileIdentity> identity;  // taken when it was opened
};
HeldFile observe_and_hold(const std::filesystem::path& path, const DeltaProgress& progress = {},
                          const std::string& display = {});

// An entry path joined under `folder` (the client root or a run's work folder), staying
// inside it, with no existing link along the way ("delta_root", "delta_reparse",
// "delta_path").
std::filesystem::path resolve_delta_path(const std::filesystem::path& folder,
                                         const std::string& entry_path);

// Creates the destination's folders, then moves written through; `replace` only when
// restoring ("delta_replace").
void move_delta_file(const std::filesystem::path& from, const std::filesystem::path& to,
                     bool replace);

// Deletes a file ("delta_delete").
void delete_delta_file(const std::filesystem::path& path);

// root\.vorn-delta.lock, opened for reading and writing with no sharing for as long as
// this object lives; never deleted ("delta_locked", "delta_reparse").
class DeltaLock {
  public:
    explicit DeltaLock(const DeltaRoots& roots);

  private:
    UniqueFile file_;
};

}  // namespace vorn
