#include "delta/delta_files.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/sha256.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

}  // namespace

void report(const DeltaProgress& progress, std::string_view event, const std::string& path,
            std::uint64_t done, std::uint64_t total) {
    if (progress) {
        progress(event, path, done, total);
    }
}

void write_delta_bytes(HANDLE file, const std::uint8_t* data, std::size_t size) {
    if (const DWORD error = write_whole(file, data, static_cast<DWORD>(size))) {
        fail_delta_io("delta_write", error);
    }
}

void fail_delta(const char* stage) {
    throw LauncherError(stage, delta_package_message);
}

void fail_delta_io(const char* stage, DWORD error) {
    // A full disk is said as such: closing the game would not help.
    throw LauncherError(stage, is_disk_full(error) ? disk_full_message : delta_io_message, error);
}

DeltaReadFile open_delta_file(const fs::path& path, DWORD share) {
    const DWORD attributes = file_attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & link_or_directory_mask) != 0) {
        fail_delta("delta_reparse");
    }
    DeltaReadFile file;
    file.handle.reset(
        CreateFileW(long_path(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.handle) {
        fail_delta_io("delta_read", GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.handle.get(), &info)) {
        fail_delta_io("delta_read", GetLastError());
    }
    if ((info.dwFileAttributes & link_or_directory_mask) != 0) {
        fail_delta("delta_reparse");  // swapped for a link after the first look
    }
    file.size = size_from_halves(info.nFileSizeHigh, info.nFileSizeLow);
    if (file.size > largest_delta_file) {
        fail_delta("delta_file_limit");
    }
    return file;
}

FileDigest hash_delta_file(const DeltaReadFile& file, const DeltaProgress& progress,
                           const std::string& display) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file.handle.get(), start, nullptr, FILE_BEGIN)) {
        fail_delta_io("delta_seek", GetLastError());
    }
    report(progress, "hash_start", display, 0, file.size);
    std::unique_ptr<Sha256> hash;
    try {
        hash = std::make_unique<Sha256>();
    } catch (const LauncherError&) {
        fail_delta("delta_hash");
    }
    std::uint64_t done = 0;
    try {
        done = hash_open_file(file.handle.get(), *hash, [&](std::uint64_t bytes) {
            report(progress, "hash_bytes", display, bytes, file.size);
        });
    } catch (const LauncherError& error) {
        // The loop fails in core's stages; a delta names them its own way.
        if (error.stage == "read_file") {
            fail_delta_io("delta_read", error.win32);
        }
        if (error.stage == "crypto") {
            fail_delta("delta_hash");
        }
        throw;
    }
    if (done != file.size) {
        fail_delta("delta_file_changed");
    }
    report(progress, "hash_bytes", display, done, file.size);
    try {
        return FileDigest{hash->finish(), done};
    } catch (const LauncherError&) {
        fail_delta("delta_hash");
    }
}

namespace {

HeldFile observe_shared(const fs::path& path, DWORD share, const DeltaProgress& progress,
                        const std::string& display) {
    const DWORD attributes = file_attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (is_not_found(error)) {
            return {};
        }
        fail_delta_io("delta_observe", error);
    }
    DeltaReadFile file = open_delta_file(path, share);
    const FileDigest digest = hash_delta_file(file, progress, display);
    return HeldFile{FileState{true, digest}, std::move(file.handle), std::nullopt};
}

}  // namespace

HeldFile observe_and_hold(const fs::path& path, const DeltaProgress& progress,
                          const std::string& display) {
    HeldFile held = observe_shared(path, FILE_SHARE_READ | FILE_SHARE_DELETE, progress, display);
    if (held.handle) {
        held.identity = identity_of_open(held.handle.get());
    }
    return held;
}

FileState observe_file(const fs::path& path, const DeltaProgress& progress,
                       const std::string& display) {
    return observe_shared(path, FILE_SHARE_READ, progress, display).state;
}

fs::path resolve_delta_path(const fs::path& folder, const std::string& entry_path) {
    const fs::path joined = resolve_relative_path(folder, entry_path, LinkCheck::skip);
    const fs::path relative = joined.lexically_relative(folder);
    if (relative.empty() || *relative.begin() == L"..") {
        fail_delta("delta_root");
    }
    const LinkWalk walk = walk_for_links(folder, relative);
    if (walk.unreadable != ERROR_SUCCESS) {
        fail_delta_io("delta_path", walk.unreadable);
    }
    if (walk.link) {
        fail_delta("delta_reparse");
    }
    return joined;
}

void move_delta_file(const fs::path& from, const fs::path& to, bool replace) {
    std::error_code ignored;
    fs::create_directories(to.parent_path(), ignored);
    if (replace) {
        clear_read_only(to);  // a read-only file is replaced like any other
    }
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExW(long_path(from).c_str(), long_path(to).c_str(), flags)) {
        fail_delta_io("delta_replace", GetLastError());
    }
}

void delete_delta_file(const fs::path& path) {
    // A backup keeps the attributes of the live file it was: a read-only one must still go,
    // or cleanup would stop on it in this run and in every recovery after it.
    clear_read_only(path);
    if (!DeleteFileW(long_path(path).c_str())) {
        fail_delta_io("delta_delete", GetLastError());
    }
}

DeltaLock::DeltaLock(const DeltaRoots& roots) {
    const fs::path path = roots.root / delta_lock_name;
    const DWORD attributes = file_attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & link_or_directory_mask) != 0) {
        fail_delta("delta_reparse");
    }
    file_.reset(CreateFileW(long_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));
    if (!file_) {
        fail_delta_io("delta_locked", GetLastError());
    }
}

}  // namespace vorn
