#include "engine/install_journal.h"

#include <set>

#include <nlohmann/json.hpp>

#include "core/json_io.h"
#include "core/launcher_error.h"
#include "model/manifest.h"

namespace vorn {
namespace {

using nlohmann::json;

constexpr std::uint64_t largest_journal = 8388608;
constexpr std::size_t most_journal_entries = 100000;

[[noreturn]] void fail_state(const wchar_t* message) {
    throw LauncherError("transaction_state", message);
}

const wchar_t* const unreadable = L"Неверное описание восстановления клиента.";
const wchar_t* const unknown_layout = L"Неизвестное размещение временных файлов обновления.";

TransactionLayout read_layout(const json& journal) {
    const auto layout = journal.find("layout");
    if (layout == journal.end()) {
        return TransactionLayout::legacy;
    }
    if (!layout->is_string() || layout->get<std::string>() != transaction_layout) {
        fail_state(unknown_layout);
    }
    return TransactionLayout::element;
}

JournalEntry read_entry(const json& item, std::size_t index, std::set<std::wstring>& seen) {
    const wchar_t* const bad_path = L"Недопустимый путь в описании восстановления.";
    if (!item.is_object() || !item.contains("path") || !item["path"].is_string() ||
        !item.contains("backup") || !item["backup"].is_string()) {
        fail_state(bad_path);
    }
    JournalEntry entry;
    entry.path = item["path"].get<std::string>();
    entry.backup = item["backup"].get<std::string>();
    const std::string normal = normalize_manifest_path(entry.path);
    if (normal.size() < 8 || !normal.starts_with("element/") ||
        !seen.insert(manifest_path_identity(entry.path)).second ||
        entry.backup != backup_entry_name(index)) {
        fail_state(bad_path);
    }
    const auto existed = item.find("existed");
    const auto new_sha = item.find("new_sha256");
    const auto old_sha = item.find("old_sha256");
    if (existed == item.end() || !existed->is_boolean() || new_sha == item.end() ||
        !new_sha->is_string() || (old_sha != item.end() && !old_sha->is_string())) {
        fail_state(unreadable);
    }
    entry.existed = existed->get<bool>();
    entry.new_sha256 = new_sha->get<std::string>();
    entry.old_sha256 = old_sha == item.end() ? std::string() : old_sha->get<std::string>();
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
    const json journal = read_json_file(path, largest_journal);
    const auto schema = journal.is_object() ? journal.find("schema") : journal.end();
    const auto root = journal.is_object() ? journal.find("root") : journal.end();
    const auto items = journal.is_object() ? journal.find("entries") : journal.end();
    if (schema == journal.end() || !schema->is_number_integer() || *schema != 2 ||
        root == journal.end() || !root->is_string() || items == journal.end() ||
        !items->is_array() || items->size() > most_journal_entries) {
        fail_state(unreadable);
    }
    InstallJournal result;
    result.root = root->get<std::string>();
    result.layout = read_layout(journal);
    const auto id = journal.find("id");
    result.id = id != journal.end() && id->is_string() ? id->get<std::string>() : std::string();
    std::set<std::wstring> seen;
    for (std::size_t i = 0; i < items->size(); ++i) {
        result.entries.push_back(read_entry((*items)[i], i, seen));
    }
    return result;
}

}  // namespace vorn
