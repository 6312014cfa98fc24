#include "engine/recovery.h"

#include <windows.h>

#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/identifiers.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "engine/accepted_updater.h"
#include "engine/client_paths.h"
#include "engine/file_hashing.h"
#include "engine/install_transaction.h"
#include "engine/repair_state.h"
#include "engine/update_engine.h"
#include "engine/verification.h"

namespace vorn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr std::uint64_t largest_journal = 8388608;
constexpr std::size_t most_journal_entries = 100000;
constexpr const wchar_t* recovery_suffix = L".vorn-recovery";

struct RecoveryEntry {
    std::string path;
    fs::path live;
    fs::path backup;
    bool existed = false;
    std::string old_sha256;
    std::string new_sha256;
    bool updater = false;
    std::optional<FileDigest> accepted_updater;
};

[[noreturn]] void fail_state(const wchar_t* message) {
    throw LauncherError("transaction_state", message);
}

[[noreturn]] void fail_conflict(const wchar_t* message) {
    throw LauncherError("recovery_conflict", message);
}

RecoveryEntry validate_entry(UpdateEngine& engine, const json& item, std::size_t index,
                             const fs::path& folder, std::set<std::wstring>& seen) {
    const wchar_t* const bad_path = L"Недопустимый путь в описании восстановления.";
    if (!item.is_object() || !item.contains("path") || !item["path"].is_string() ||
        !item.contains("backup") || !item["backup"].is_string()) {
        fail_state(bad_path);
    }
    RecoveryEntry entry;
    entry.path = item["path"].get<std::string>();
    const std::string normal = normalize_manifest_path(entry.path);
    const std::string backup = item["backup"].get<std::string>();
    if (normal.size() < 8 || !normal.starts_with("element/") ||
        !seen.insert(manifest_path_identity(entry.path)).second ||
        backup != backup_entry_name(index)) {
        fail_state(bad_path);
    }
    entry.live = resolve_client_path(engine, entry.path, LinkCheck::refuse_links);
    entry.backup = resolve_relative_path(folder, backup, LinkCheck::refuse_links);
    require_local_path_length(entry.backup);

    const auto existed = item.find("existed");
    const auto new_sha = item.find("new_sha256");
    const auto old_sha = item.find("old_sha256");
    if (existed == item.end() || !existed->is_boolean() || new_sha == item.end() ||
        !new_sha->is_string() || (old_sha != item.end() && !old_sha->is_string())) {
        fail_state(L"Неверное описание восстановления клиента.");
    }
    entry.existed = existed->get<bool>();
    entry.new_sha256 = new_sha->get<std::string>();
    entry.old_sha256 = old_sha == item.end() ? std::string() : old_sha->get<std::string>();
    if (!is_sha256_hex(entry.new_sha256) ||
        (entry.existed && (!is_sha256_hex(entry.old_sha256) || !is_plain_file(entry.backup) ||
                           checksum_of(engine, entry.backup, entry.path) != entry.old_sha256))) {
        throw LauncherError("recovery_backup",
                            L"Резервная копия не прошла проверку. Файлы не изменены.");
    }
    entry.updater = is_updater_path(entry.path);
    if (entry.updater) {
        entry.accepted_updater = find_accepted_updater(engine);
    }
    if (file_exists(entry.live)) {
        const std::string live = checksum_of(engine, entry.live, entry.path);
        const bool known = live == entry.new_sha256 ||
                           (entry.existed && live == entry.old_sha256) ||
                           (entry.accepted_updater && live == entry.accepted_updater->sha256);
        if (!known) {
            fail_conflict(
                L"Файл изменён после прерванного обновления. Автоматическое восстановление "
                L"остановлено.");
        }
    }
    return entry;
}

void roll_back(UpdateEngine& engine, const RecoveryEntry& entry) {
    if (entry.updater) {
        // The updater is never deleted or restored here; it must only still be the build
        // that was checked.
        if (find_accepted_updater(engine) != entry.accepted_updater) {
            fail_conflict(L"Компонент обновления изменился во время восстановления.");
        }
        return;
    }
    if (!entry.existed) {
        if (file_exists(entry.live)) {
            remove_file_if_present(entry.live);
        }
        return;
    }
    if (file_exists(entry.live) &&
        checksum_of(engine, entry.live, entry.path) == entry.old_sha256) {
        return;
    }
    fs::path temp = entry.live;
    temp += recovery_suffix;
    require_local_path_length(temp);
    if (file_exists(temp)) {
        fail_conflict(L"Временный файл восстановления уже существует.");
    }
    copy_to_backup(entry.backup, temp);
    move_into_place(temp, entry.live);
}

}  // namespace

void recover_transaction(UpdateEngine& engine) {
    if (!file_exists(engine.transaction_path)) {
        return;
    }
    const json journal = read_json_file(engine.transaction_path, largest_journal);
    const auto schema = journal.is_object() ? journal.find("schema") : journal.end();
    const auto root = journal.is_object() ? journal.find("root") : journal.end();
    const auto items = journal.is_object() ? journal.find("entries") : journal.end();
    if (schema == journal.end() || !schema->is_number_integer() || *schema != 2 ||
        root == journal.end() || !root->is_string() || *root != client_key(engine.root) ||
        items == journal.end() || !items->is_array() || items->size() > most_journal_entries) {
        fail_state(L"Неверное описание восстановления клиента.");
    }
    const auto layout = journal.find("layout");
    const std::string layout_name = layout == journal.end() || !layout->is_string()
                                        ? std::string()
                                        : layout->get<std::string>();
    if (layout != journal.end() && !layout->is_string()) {
        fail_state(L"Неизвестное размещение временных файлов обновления.");
    }
    const bool legacy = layout_name.empty();
    if (!legacy && layout_name != transaction_layout) {
        fail_state(L"Неизвестное размещение временных файлов обновления.");
    }
    const auto id_value = journal.find("id");
    const std::string id =
        id_value != journal.end() && id_value->is_string() ? id_value->get<std::string>() : "";
    const fs::path folder = transaction_folder(engine, id, legacy);
    mark_repair_required(engine);

    // Everything is checked before anything changes: a state the journal cannot explain
    // stops recovery with the client untouched.
    std::vector<RecoveryEntry> entries;
    std::set<std::wstring> seen;
    for (std::size_t i = 0; i < items->size(); ++i) {
        entries.push_back(validate_entry(engine, (*items)[i], i, folder, seen));
    }
    for (const RecoveryEntry& entry : entries) {
        roll_back(engine, entry);
    }

    remove_file_if_present(engine.transaction_path);
    if (remove_transaction_folder(engine, id, legacy) && legacy) {
        const fs::path parent = engine.root / L".vornell-transactions";
        require_local_path_length(parent);
        RemoveDirectoryW(long_path(parent).c_str());  // only when empty; otherwise it stays
    }
}

}  // namespace vorn
