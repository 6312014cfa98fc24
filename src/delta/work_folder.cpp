#include "delta/work_folder.h"

#include <algorithm>
#include <map>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "delta/observed_files.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// Relative path (lower-cased, backslashes) -> the states a file there may have.
using Acceptable = std::map<std::wstring, std::vector<FileState>>;

std::wstring key_of(const std::string& relative) {
    return lower_wide(backslashes(to_utf16(relative)));
}

Acceptable acceptable_contents(const StoredJournal& stored, const DeltaProgress& progress) {
    Acceptable acceptable;
    const std::string& owner = stored.owner_text;
    acceptable[L"owner.json"] = {FileState{true, {sha256_string(owner), owner.size()}}};
    for (const DeltaPlanItem& item : stored.journal.items) {
        if (item.keep) {
            continue;
        }
        std::vector<FileState>& staged = acceptable[key_of("staged/" + item.path)];
        staged.push_back(FileState{true, item.fresh});
        const FileState present = observe_file(
            resolve_delta_path(stored.work_folder, "staged/" + item.path), progress, item.path);
        if (present.exists) {
            if (present.digest.bytes > item.fresh.bytes) {
                fail_delta("delta_cleanup_conflict");
            }
            staged.push_back(present);  // a staged file the run did not finish writing
        }
        if (item.old) {
            acceptable[key_of("backup/" + item.path)] = {FileState{true, *item.old}};
        }
    }
    return acceptable;
}

struct Found {
    std::vector<fs::path> files;
    std::vector<fs::path> folders;  // parents before children
};

[[noreturn]] void fail_walk(DWORD error) {
    throw LauncherError("delta_cleanup", L"Не удалось проверить резервные файлы обновления.",
                        error);
}

// Work-folder files by key whose state is known without reading them.
using Proven = std::map<std::wstring, FileState>;

void walk(const fs::path& folder, const std::wstring& prefix, const Acceptable& acceptable,
          const Proven& proven, const DeltaProgress& progress, Found& found) {
    const auto entries = list_folder(folder);
    if (!entries) {
        fail_walk(GetLastError());
    }
    for (const FolderEntry& entry : *entries) {
        const fs::path path = folder / entry.name;
        const std::wstring key = prefix + lower_wide(entry.name);
        if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            fail_delta("delta_cleanup_conflict");
        }
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            found.folders.push_back(path);
            walk(path, key + L"\\", acceptable, proven, progress, found);
            continue;
        }
        if (prefix.empty() && is_atomic_temporary_of(entry.name, L"owner.json") &&
            (entry.attributes & link_or_directory_mask) == 0) {
            found.files.push_back(path);  // an owner file write a crash cut short
            continue;
        }
        const auto states = acceptable.find(key);
        if (states == acceptable.end()) {
            fail_delta("delta_cleanup_conflict");
        }
        const auto known = proven.find(key);
        const FileState state =
            known != proven.end() ? known->second : observe_file(path, progress, to_utf8(key));
        if (std::find(states->second.begin(), states->second.end(), state) ==
            states->second.end()) {
            fail_delta("delta_cleanup_conflict");
        }
        found.files.push_back(path);
    }
}

void remove_folder(const fs::path& folder) {
    if (!RemoveDirectoryW(long_path(folder).c_str())) {
        fail_delta_io("delta_cleanup", GetLastError());
    }
}

}  // namespace

void clean_work_folder(const DeltaRoots& roots, const StoredJournal& stored,
                       const std::vector<FileState>& live, const DeltaProgress& progress,
                       const std::vector<FileState>* backups) {
    const DWORD attributes = file_attributes(stored.work_folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (!is_not_found(error)) {
            fail_delta("delta_cleanup");
        }
        return;  // cleaned already
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        fail_delta("delta_cleanup_conflict");
    }
    const auto& items = stored.journal.items;
    Proven proven;
    for (std::size_t i = 0; backups != nullptr && i < items.size(); ++i) {
        if ((*backups)[i].exists) {
            proven[key_of("backup/" + items[i].path)] = (*backups)[i];
        }
    }
    // The live files are read again on the workers while the walk reads the work folder,
    // unless they were observed just now.
    ObservedFiles live_files(backups != nullptr ? 0 : items.size(), [&](std::size_t i) {
        return resolve_delta_path(roots.root, items[i].path);
    });
    Found found;
    walk(stored.work_folder, {}, acceptable_contents(stored, progress), proven, progress, found);
    for (std::size_t i = 0; backups == nullptr && i < items.size(); ++i) {
        const FileState now = live_files.take(i, progress, items[i].path);
        if (!(now == live[i])) {
            fail_delta("delta_cleanup_conflict");
        }
    }
    for (const fs::path& file : found.files) {
        delete_delta_file(file);
    }
    for (auto folder = found.folders.rbegin(); folder != found.folders.rend(); ++folder) {
        remove_folder(*folder);
    }
    remove_folder(stored.work_folder);
}

namespace {

bool is_run_name(const std::wstring& name) {
    return name.size() == 32 && is_lower_hex(name);
}

bool is_owner_file(const FolderEntry& entry) {
    return (entry.attributes & link_or_directory_mask) == 0 &&
           (entry.name == L"owner.json" || is_atomic_temporary_of(entry.name, L"owner.json"));
}

}  // namespace

void remove_orphan_runs(const DeltaRoots& roots) noexcept {
    try {
        const auto runs = list_folder(roots.work_root);
        if (!runs || (file_attributes(roots.work_root) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return;
        }
        for (const FolderEntry& run : *runs) {
            const bool real_folder = (run.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                     (run.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
            const fs::path folder = roots.work_root / run.name;
            const auto contents = real_folder && is_run_name(run.name)
                                      ? list_folder(folder)
                                      : std::optional<std::vector<FolderEntry>>();
            if (!contents || !std::all_of(contents->begin(), contents->end(), is_owner_file)) {
                continue;
            }
            for (const FolderEntry& file : *contents) {
                DeleteFileW(long_path(folder / file.name).c_str());
            }
            RemoveDirectoryW(long_path(folder).c_str());
        }
    } catch (...) {
        // Nothing here is needed by anyone: a folder left behind only costs space.
    }
}

}  // namespace vorn
