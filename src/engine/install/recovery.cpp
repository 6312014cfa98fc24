#include "engine/install/recovery.h"

#include <windows.h>

#include <optional>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "engine/client/accepted_updater.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_view.h"
#include "engine/client/file_hashing.h"
#include "engine/client/repair_state.h"
#include "engine/install/install_journal.h"
#include "engine/install/install_transaction.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// A journal entry with its paths resolved and its old content proven.
struct RecoveryEntry {
    JournalEntry journaled;
    fs::path live;
    fs::path backup;
    bool updater = false;
    std::optional<FileDigest> accepted_updater;
};

[[noreturn]] void fail_state(const wchar_t* message) {
    throw LauncherError("transaction_state", message);
}

[[noreturn]] void fail_conflict(const wchar_t* message) {
    throw LauncherError("recovery_conflict", message);
}

RecoveryEntry validate_entry(const ClientPlace& client, EngineView& view,
                             const JournalEntry& journaled, const fs::path& folder) {
    RecoveryEntry entry{.journaled = journaled};
    entry.live = resolve_client_path(client, journaled.path, LinkCheck::refuse_links);
    entry.backup = resolve_relative_path(folder, journaled.backup, LinkCheck::refuse_links);
    require_local_path_length(entry.backup);
    if (!is_sha256_hex(journaled.new_sha256) ||
        (journaled.existed &&
         (!is_sha256_hex(journaled.old_sha256) || !is_plain_file(entry.backup) ||
          checksum_of(view, entry.backup, journaled.path) != journaled.old_sha256))) {
        throw LauncherError("recovery_backup",
                            L"Резервная копия не прошла проверку. Файлы не изменены.");
    }
    entry.updater = is_updater_path(journaled.path);
    if (entry.updater) {
        entry.accepted_updater = find_accepted_updater(client);
    }
    if (file_exists(entry.live)) {
        const std::string live = checksum_of(view, entry.live, journaled.path);
        const bool known = live == journaled.new_sha256 ||
                           (journaled.existed && live == journaled.old_sha256) ||
                           (entry.accepted_updater && live == entry.accepted_updater->sha256);
        if (!known) {
            fail_conflict(
                L"Файл изменён после прерванного обновления. Автоматическое восстановление "
                L"остановлено.");
        }
    }
    return entry;
}

void roll_back(const ClientPlace& client, EngineView& view, const RecoveryEntry& entry) {
    if (entry.updater) {
        // The updater is never deleted or restored here; it must only still be the build
        // that was checked.
        if (find_accepted_updater(client) != entry.accepted_updater) {
            fail_conflict(L"Компонент обновления изменился во время восстановления.");
        }
        return;
    }
    if (!entry.journaled.existed) {
        if (file_exists(entry.live)) {
            remove_file_if_present(entry.live);
        }
        return;
    }
    if (file_exists(entry.live) &&
        checksum_of(view, entry.live, entry.journaled.path) == entry.journaled.old_sha256) {
        return;
    }
    fs::path temp = entry.live;
    temp += recovery_temporary_suffix;
    require_local_path_length(temp);
    if (file_exists(temp)) {
        // Only recovery writes this name, and only from a backup it has verified: what is
        // left there is a copy a killed recovery did not finish, never anyone's data.
        if (!is_plain_file(temp)) {
            fail_conflict(L"Временный файл восстановления уже существует.");
        }
        clear_read_only(temp);
        remove_file_if_present(temp);
    }
    copy_to_backup(entry.backup, temp);
    move_into_place(temp, entry.live);
}

}  // namespace

void recover_transaction(const ClientPlace& client, EngineView& view) {
    if (!file_exists(client.transaction_path)) {
        return;
    }
    const InstallJournal journal = read_install_journal(client.transaction_path);
    if (journal.root != client.key) {
        fail_state(L"Неверное описание восстановления клиента.");
    }
    const fs::path folder = transaction_folder(client, journal.id, journal.layout);
    mark_repair_required(client, view);

    // Everything is checked before anything changes: a state the journal cannot explain
    // stops recovery with the client untouched.
    std::vector<RecoveryEntry> entries;
    for (const JournalEntry& journaled : journal.entries) {
        entries.push_back(validate_entry(client, view, journaled, folder));
    }
    for (const RecoveryEntry& entry : entries) {
        roll_back(client, view, entry);
    }

    remove_file_if_present(client.transaction_path);
    const bool legacy = journal.layout == TransactionLayout::legacy;
    if (remove_transaction_folder(client, journal.id, journal.layout) && legacy) {
        const fs::path parent = client.root / L".vornell-transactions";
        require_local_path_length(parent);
        RemoveDirectoryW(long_path(parent).c_str());  // only when empty; otherwise it stays
    }
}

}  // namespace vorn
