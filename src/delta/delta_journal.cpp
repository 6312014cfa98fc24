#include "delta/delta_journal.h"

#include <array>

#include "core/client_key.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "delta/delta_files.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr std::array<const char*, 7> phase_names = {
    "STAGING",          "STAGED", "PUBLISHING", "COMMITTED", "ROLLING_BACK", "CLEANING_COMMITTED",
    "CLEANING_ROLLBACK"};
constexpr std::size_t longest_manifest_text = 5242880;

Json digest_json(const FileDigest& digest) {
    return {{"sha256", digest.sha256}, {"bytes", digest.bytes}};
}

Json entries_json(const std::vector<DeltaPlanItem>& items) {
    Json entries = Json::array();
    for (const DeltaPlanItem& item : items) {
        entries.push_back({{"path", item.path},
                           {"old", item.old ? digest_json(*item.old) : Json(nullptr)},
                           {"new", digest_json(item.fresh)},
                           {"keep", item.keep}});
    }
    return entries;
}

const JsonFields schema_fields("delta_schema", delta_package_message);
const JsonFields journal_fields("delta_journal", delta_package_message);

FileDigest read_digest(const Json& value) {
    journal_fields.expect_keys(value, {"sha256", "bytes"});
    FileDigest digest{
        journal_fields.text(journal_fields.member(value, "sha256"), 64),
        journal_fields.size(journal_fields.member(value, "bytes"), largest_delta_file)};
    if (!is_sha256_hex(digest.sha256)) {
        fail_delta("delta_journal");
    }
    return digest;
}

// Element i must describe manifest entry i as the apply planned it.
DeltaPlanItem read_item(const Json& value, const DeltaEntry& entry) {
    journal_fields.expect_keys(value, {"path", "old", "new", "keep"});
    DeltaPlanItem item;
    item.path = journal_fields.text(journal_fields.member(value, "path"));
    const Json& old = journal_fields.member(value, "old");
    if (!old.is_null()) {
        item.old = read_digest(old);
    }
    item.fresh = read_digest(journal_fields.member(value, "new"));
    item.keep = journal_fields.boolean(journal_fields.member(value, "keep"));
    if (item.path != entry.path || (!item.keep && item.fresh != entry.target) ||
        (item.keep && item.old != item.fresh)) {
        fail_delta("delta_journal");
    }
    return item;
}

DeltaPhase read_phase(const Json& document) {
    const std::string& text = journal_fields.text(journal_fields.member(document, "phase"), 32);
    for (std::size_t i = 0; i < phase_names.size(); ++i) {
        if (text == phase_names[i]) {
            return static_cast<DeltaPhase>(i);
        }
    }
    fail_delta("delta_journal");
}

}  // namespace

const char* phase_text(DeltaPhase phase) {
    return phase_names[static_cast<std::size_t>(phase)];
}

fs::path run_folder(const DeltaRoots& roots, const std::string& id) {
    return resolve_relative_path(roots.root, to_utf8(delta_work_name) + "/" + id, LinkCheck::skip);
}

std::string owner_text(const DeltaJournal& journal) {
    const Json owner = {
        {"id", journal.id},
        {"root", journal.root},
        {"manifest_sha256", journal.manifest_sha256},
        {"entries_sha256", sha256_string(compact_json(entries_json(journal.items)))}};
    return owner.dump(2, ' ', false, Json::error_handler_t::strict) + "\n";
}

void write_delta_journal(const DeltaRoots& roots, const DeltaJournal& journal) {
    write_json_file(roots.journal_path, {{"schema", delta_journal_schema},
                                         {"root", journal.root},
                                         {"id", journal.id},
                                         {"manifest_sha256", journal.manifest_sha256},
                                         {"manifest_text", journal.manifest_text},
                                         {"phase", phase_text(journal.phase)},
                                         {"entries", entries_json(journal.items)}});
}

std::optional<StoredJournal> read_delta_journal(const DeltaRoots& roots) {
    if (!observe_file(roots.journal_path).exists) {
        return std::nullopt;
    }
    return parse_delta_journal(roots, read_file_limited(roots.journal_path, largest_delta_journal));
}

StoredJournal parse_delta_journal(const DeltaRoots& roots, ByteView bytes) {
    require_file_limit(bytes.size(), largest_delta_journal);  // refused as a read would be
    const Json document = parse_json_bytes(bytes, "parse_json");
    schema_fields.expect_keys(
        document, {"schema", "root", "id", "manifest_sha256", "manifest_text", "phase", "entries"});
    StoredJournal stored;
    DeltaJournal& journal = stored.journal;
    journal.root = journal_fields.text(journal_fields.member(document, "root"));
    if (journal_fields.text(journal_fields.member(document, "schema")) != delta_journal_schema ||
        !is_same_client_folder(journal.root, roots.root)) {
        fail_delta("delta_journal");
    }
    journal.id = journal_fields.text(journal_fields.member(document, "id"), 32);
    if (journal.id.size() != 32 || !is_lower_hex(journal.id)) {
        fail_delta("delta_journal");
    }
    journal.manifest_text = journal_fields.text(journal_fields.member(document, "manifest_text"),
                                                longest_manifest_text);
    journal.manifest_sha256 =
        journal_fields.text(journal_fields.member(document, "manifest_sha256"), 64);
    const std::string& text = journal.manifest_text;
    stored.manifest = parse_delta_manifest(
        ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
        journal.manifest_sha256, {});
    stored.work_folder = run_folder(roots, journal.id);
    const Json& entries = journal_fields.member(document, "entries");
    if (!entries.is_array() || entries.size() != stored.manifest.entries.size()) {
        fail_delta("delta_journal");
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        journal.items.push_back(read_item(entries[i], stored.manifest.entries[i]));
    }
    stored.owner_text = owner_text(journal);
    journal.phase = read_phase(document);
    return stored;
}

}  // namespace vorn
