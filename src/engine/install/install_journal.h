// The install journal "transaction-v2.json": what a transaction is about to change, written
// before the first live file moves and read back by recovery.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "core/bytes.h"

namespace vorn {

inline constexpr const char* transaction_layout = "element-v1";
// Recovery copies a backup to "<live file>.vorn-recovery", then moves it over the live file.
inline constexpr const wchar_t* recovery_temporary_suffix = L".vorn-recovery";

// Where the transaction folders lie: under element/ (the journal names "element-v1"), or
// at the client root in journals written by older builds (no "layout" key).
enum class TransactionLayout : bool { element = false, legacy = true };

struct JournalEntry {
    std::string path;    // manifest path
    std::string backup;  // "backups/<index>.bin" inside the transaction folder
    bool existed = false;
    std::string old_sha256;  // empty when the file did not exist
    std::string new_sha256;
};

struct InstallJournal {
    std::string root;  // the client key
    std::string id;    // the transaction folder's name; empty when the journal has none
    TransactionLayout layout = TransactionLayout::element;
    std::vector<JournalEntry> entries;
};

// "backups/<index>.bin": where entry `index` keeps its old content.
std::string backup_entry_name(std::size_t index);

// Writes the journal atomically (schema 2). Throws LauncherError.
void write_install_journal(const std::filesystem::path& path, const InstallJournal& journal);

// Reads the journal and checks its form: schema 2, a root and an entry list, a known
// layout, and for each entry a path under element/ named once, its own backup name and
// fields of the right types ("transaction_state"). Digests, backups and live files are
// for the caller to prove. Throws LauncherError.
InstallJournal read_install_journal(const std::filesystem::path& path);
// The same of the bytes the journal file holds.
InstallJournal parse_install_journal(ByteView bytes);

}  // namespace vorn
