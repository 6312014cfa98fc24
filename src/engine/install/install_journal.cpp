#include "engine/install/install_journal.h"

#include <set>

#include <nlohmann/json.hpp>

#include "core/file_system.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "model/manifest.h"

namespace vorn {
namespace {

using nlohmann::json;

constexpr std::uint64_t largest_journal = 8388608;
constexpr std::size_t most_journal_entries = 100000;

// A journal is refused as a whole, with one of three texts for what is wrong with it.
const JsonFields journal_fields("transaction_state", L"Неверное описание восстановления клиента.");
const JsonFields path_fields("transaction_state", L"Недопустимый путь в описании восстановления.");
const JsonFields layout_fields("transaction_state",
                               L"Неизвестное размещение временных файлов обновления.");

TransactionLayout read_layout(const json& journal) {
    // Older builds wrote no layout, and some an empty one: both mean the legacy folder.
    const json* layout = layout_fields.find(journal, "layout");
    if (layout == nullptr || layout_fields.text(*layout).empty()) {
        return TransactionLayout::legacy;
    }
    if (layout_fields.text(*layout) != transaction_layout) {
        layout_fields.refuse();
    }
    return TransactionLayout::element;
}

JournalEntry read_entry(const json& item, std::size_t index, std::set<std::wstring>& seen) {
    JournalEntry entry;
    entry.path = path_fields.text(path_fields.member(item, "path"), longest_relative_path);
    entry.backup = path_fields.text(path_fields.member(item, "backup"));
    const std::string normal = normalize_manifest_path(entry.path);
    if (normal.size() < 8 || !normal.starts_with("element/") ||
        !seen.insert(manifest_path_identity(entry.path)).second ||
        entry.backup != backup_entry_name(index)) {
        path_fields.refuse();
    }
    entry.existed = journal_fields.boolean(journal_fields.member(item, "existed"));
    entry.new_sha256 = journal_fields.text(journal_fields.member(item, "new_sha256"));
    const json* old_sha = journal_fields.find(item, "old_sha256");
    entry.old_sha256 = old_sha == nullptr ? std::string() : journal_fields.text(*old_sha);
    return entry;
}

}  // namespace

std::string backup_entry_name(std::size_t index) {
    return "backups/" + std::to_string(index) + ".bin";
}

void write_install_journal(const std::filesystem::path& path, const InstallJournal& journal) {
    json entries = json::array();
    for (const JournalEntry& entry : journal.entries) {
        entries.push_back({{"path", entry.path},
                           {"backup", entry.backup},
                           {"existed", entry.existed},
                           {"old_sha256", entry.old_sha256},
                           {"new_sha256", entry.new_sha256}});
    }
    json document = {
        {"schema", 2}, {"root", journal.root}, {"id", journal.id}, {"entries", entries}};
    if (journal.layout == TransactionLayout::element) {
        document["layout"] = transaction_layout;
    }
    write_json_file(path, document);
}

InstallJournal read_install_journal(const std::filesystem::path& path) {
    return parse_install_journal(read_file_limited(path, largest_journal));
}

InstallJournal parse_install_journal(ByteView bytes) {
    require_file_limit(bytes.size(), largest_journal);  // refused as a read would be
    const json journal = parse_json_bytes(bytes, "parse_json");
    const json& schema = journal_fields.member(journal, "schema");
    const json& items = journal_fields.member(journal, "entries");
    if (!schema.is_number_integer() || schema != 2 || !items.is_array() ||
        items.size() > most_journal_entries) {
        journal_fields.refuse();
    }
    InstallJournal result;
    result.root = journal_fields.text(journal_fields.member(journal, "root"));
    result.layout = read_layout(journal);
    // An id of another type is no id: the folder check refuses it.
    const json* id = journal_fields.find(journal, "id");
    result.id = id != nullptr && id->is_string() ? id->get<std::string>() : std::string();
    std::set<std::wstring> seen;
    for (std::size_t i = 0; i < items.size(); ++i) {
        result.entries.push_back(read_entry(items[i], i, seen));
    }
    return result;
}

}  // namespace vorn
