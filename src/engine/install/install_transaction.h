// The install transaction: verified new files staged in a private folder, live files
// backed up and verified, a journal written, then every file moved into place.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/launcher_error.h"
#include "engine/install/install_journal.h"
#include "model/manifest.h"

namespace vorn {

struct ClientPlace;
struct EngineServices;
struct EngineView;

inline constexpr const char* owner_schema = "vornell.transaction.v2";
inline constexpr const wchar_t* owner_file_name = L"owner-v2.json";

struct StagedFile {
    std::string path;  // manifest path
    std::filesystem::path staged;
    std::string new_sha256;
};

// Manifest path -> the digest the live file had when the download started ("" when absent).
using ExpectedStates = std::map<std::string, std::string>;

// Downloads each file by its content address, verifies and stages it, then commits.
// An empty list does nothing. Throws LauncherError; before the journal exists the live
// client is untouched, after it the journal and the marker wait for recovery.
void install_files(const ClientPlace& client, const EngineServices& services, EngineView& view,
                   const std::vector<ManifestFile>& files);

// Creates the transaction folder with its owner file and "staged" folder.
std::filesystem::path begin_transaction(const ClientPlace& client, const EngineServices& services,
                                        const std::string& id);

// Refuses ("local_path_length") a transaction whose undoing would need a path that is too
// long: each entry's backup in `folder` and the temporary recovery copies an existing live
// file over. Checked before the journal exists, so an install that starts can be undone.
void require_recoverable_paths(const ClientPlace& client, const std::filesystem::path& folder,
                               const std::vector<std::string>& paths);

// Backs up and verifies every live file, writes the journal and the repair marker, moves
// the staged files into place one by one (each checked before and after), then removes
// the journal and the folder. A live file that is not what `expected` says stops it with
// `changed` ("install_conflict" when not given).
void commit_transaction(const ClientPlace& client, const EngineServices& services, EngineView& view,
                        const std::string& id, const std::vector<StagedFile>& staged,
                        const ExpectedStates& expected,
                        const std::optional<LauncherError>& changed = std::nullopt);

// element\.vornell-transactions\<id> (or .vornell-transactions\<id> in the older layout);
// "transaction_state" for an id that is not 32 lower-case hex digits.
std::filesystem::path transaction_folder(const ClientPlace& client, const std::string& id,
                                         TransactionLayout layout);

// The folder's owner file names this client and this id. Never throws.
bool read_owner(const ClientPlace& client, const std::string& id,
                const std::filesystem::path& folder);
// The same of the owner file's bytes. Never throws.
bool parse_owner(const ClientPlace& client, const std::string& id, ByteView bytes) noexcept;

// Moves `source` over `live` (replacing it, written through); "install_replace" on failure.
void move_into_place(const std::filesystem::path& source, const std::filesystem::path& live);

// A plain copy that never overwrites, flushed to the disk; "backup_write" when it cannot be
// written.
void copy_to_backup(const std::filesystem::path& source, const std::filesystem::path& target);

// Removes a transaction folder holding only what a transaction writes, or one a kill left
// before its owner file was in place (empty, or holding only that file's temporary); leaves
// it (false) while a journal exists, when it is not ours, or when it holds anything else.
bool remove_transaction_folder(const ClientPlace& client, const std::string& id,
                               TransactionLayout layout);

// Takes away the folder of a transaction whose preparation failed before its journal; never
// throws: a folder left behind is swept as stale by the next action.
void abandon_transaction(const ClientPlace& client, const std::string& id) noexcept;

// Removes leftover transaction folders of interrupted downloads (none while a journal
// exists). Errors are ignored: a leftover only costs space.
void remove_stale_transactions(const ClientPlace& client);

}  // namespace vorn
