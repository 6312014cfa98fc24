// Readers of the client's state files: the installed receipt in its three places, the
// install journal with recovery, and the owner file of a transaction folder.
#include <cstring>

#include "core/client_key.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "engine/install/install_journal.h"
#include "engine/install/install_transaction.h"
#include "engine/install/recovery.h"
#include "engine/manifest/installed_receipt.h"
#include "model/endpoints.h"
#include "model/manifest.h"
#include "support/legacy_receipt.h"
#include "targets.h"

namespace vorn::fuzz {
namespace {

constexpr std::size_t legacy_checksum_at = 511;
constexpr std::size_t checksum_width = 64;

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* journal_id = "0123456789abcdef0123456789abcdef";
constexpr const char* owner_id = "fedcba9876543210fedcba9876543210";
constexpr const char* invalid_label = "(read as invalid)";

ByteView view(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// --- the current receipt -------------------------------------------------------------

std::string sealed(json document, int indent) {
    document.erase("checksum");
    document["checksum"] = sha256_string(compact_json(document));
    return document.dump(indent);
}

std::vector<std::string> receipt_seeds(UpdateEngine& engine) {
    const json receipt = {{"schema", 2},
                          {"root", client_key(engine.client.root)},
                          {"feed", feed_digest(engine.services.config.endpoints.manifest_url)},
                          {"manifest_key", sha256_string("key")},
                          {"version", "12"},
                          {"etag", "\"e1\""},
                          {"content_length", 4096},
                          {"verified_at_utc", "2026-10-26T12:00:00Z"}};
    json bare = receipt;
    bare.erase("content_length");
    bare["etag"] = "";
    json foreign = receipt;
    foreign["root"] = sha256_string("another client");
    return {sealed(receipt, 2), sealed(bare, -1), sealed(foreign, 2)};
}

void reseal_receipt(std::string& input, Prng& rng) {
    if (!rng.one_in(2)) {
        return;
    }
    json document = json::parse(input, nullptr, false);
    if (!document.is_object()) {
        return;
    }
    try {
        input = sealed(document, rng.one_in(2) ? 2 : -1);
    } catch (const std::exception&) {
        // Text that cannot be written compactly stays as the mutation made it.
    }
}

InstalledReceipt read_receipt(ScratchClient& scratch, const std::string& input, Prng& rng) {
    UpdateEngine& engine = scratch.engine();
    if (!rng.one_in(through_a_file)) {
        return parse_installed_receipt(engine.client, view(input));
    }
    ScratchClient::put(engine.client.receipt_path, input);
    return read_installed_receipt(engine.client);
}

std::string check_receipt(ScratchClient& scratch, const std::string& input, Prng& rng) {
    UpdateEngine& engine = scratch.engine();
    const InstalledReceipt receipt = read_receipt(scratch, input, rng);
    if (!receipt.valid) {
        return invalid_label;
    }
    json document = parse_json_bytes(view(input), "parse_json");
    const std::string checksum = document.value("checksum", std::string());
    document.erase("checksum");
    if (receipt.legacy || checksum != sha256_string(compact_json(document))) {
        broken("a receipt was accepted with a wrong checksum");
    }
    if (document.value("root", std::string()) != client_key(engine.client.root) ||
        !is_sha256_hex(receipt.manifest_key) || receipt.version.empty()) {
        broken("a receipt of another client or without a manifest key was accepted");
    }
    return {};
}

// --- the legacy fixed-layout receipts ----------------------------------------------------

// A legacy receipt of `root` for the production feed.
std::string legacy_record(const std::string& root, test::Legacy fields) {
    fields.root = root;
    fields.feed = feed_digest(default_endpoints().manifest_url);
    return test::legacy_bytes(fields);
}

std::vector<std::string> legacy_seeds(UpdateEngine& engine) {
    const std::string root = client_key(engine.client.root);
    test::Legacy empty_etag{.key = sha256_string("key")};
    empty_etag.etag.clear();
    empty_etag.length = 0;
    test::Legacy wide{.key = sha256_string("key")};
    wide.etag = L"\"\u0436\u00e9\"";
    wide.version = "2026.10.26";
    return {legacy_record(root, {.key = sha256_string("key")}), legacy_record(root, empty_etag),
            legacy_record(root, wide),
            legacy_record(sha256_string("another client"), {.key = sha256_string("key")})};
}

void reseal_legacy(std::string& input, Prng& rng) {
    if (rng.one_in(2) && input.size() >= legacy_checksum_at + checksum_width) {
        input.replace(legacy_checksum_at, checksum_width,
                      sha256_string(std::string_view(input.data(), legacy_checksum_at)));
    }
}

std::string check_legacy(ScratchClient& scratch, const fs::path& path, const std::string& input,
                         Prng& rng) {
    InstalledReceipt receipt;
    if (rng.one_in(through_a_file)) {
        ScratchClient::put(path, input);
        receipt = read_legacy_receipt(scratch.engine().client, path);
    } else {
        receipt = parse_legacy_receipt(scratch.engine().client, view(input));
    }
    if (!receipt.valid) {
        return invalid_label;
    }
    if (input.size() != legacy_receipt_size ||
        input.substr(legacy_checksum_at, checksum_width) !=
            sha256_string(std::string_view(input.data(), legacy_checksum_at)) ||
        !receipt.legacy) {
        broken("a legacy receipt was accepted with a wrong checksum or size");
    }
    if (!is_sha256_hex(receipt.manifest_key) || receipt.version.empty() ||
        input.compare(24, 65, client_key(scratch.engine().client.root) + std::string(1, '\0')) !=
            0) {
        broken("a legacy receipt of another client or without a key was accepted");
    }
    return {};
}

// --- the install journal and recovery ------------------------------------------------------

const std::string old_a = "the old content of a";
const std::string new_a = "the new content of a";
const std::string new_c = "a file the update added";

// The client as an install left it when it stopped after the journal: a.txt replaced
// (its backup kept), c.txt added, the owner file in its transaction folder.
void lay_out_interrupted_install(ScratchClient& scratch) {
    UpdateEngine& engine = scratch.engine();
    std::error_code ignored;  // absent folders are what the layout wants anyway
    fs::remove_all(scratch.root() / L"element", ignored);
    fs::remove_all(scratch.root() / L".vornell-transactions", ignored);
    fs::remove(engine.client.marker_path, ignored);
    ScratchClient::put(scratch.root() / L"element\\elementclient.exe", "game");
    ScratchClient::put(scratch.root() / L"element\\a.txt", new_a);
    ScratchClient::put(scratch.root() / L"element\\c.txt", new_c);
    const json owner = {
        {"schema", owner_schema}, {"root", client_key(engine.client.root)}, {"id", journal_id}};
    for (const TransactionLayout layout : {TransactionLayout::element, TransactionLayout::legacy}) {
        const fs::path folder = transaction_folder(engine.client, journal_id, layout);
        ScratchClient::put(folder / owner_file_name, owner.dump());
        ScratchClient::put(folder / L"backups\\0.bin", old_a);
    }
}

std::vector<std::string> journal_seeds(UpdateEngine& engine) {
    const json entries = json::array({{{"path", "element/a.txt"},
                                       {"backup", "backups/0.bin"},
                                       {"existed", true},
                                       {"old_sha256", sha256_string(old_a)},
                                       {"new_sha256", sha256_string(new_a)}},
                                      {{"path", "element/c.txt"},
                                       {"backup", "backups/1.bin"},
                                       {"existed", false},
                                       {"old_sha256", ""},
                                       {"new_sha256", sha256_string(new_c)}}});
    const json journal = {{"schema", 2},
                          {"root", client_key(engine.client.root)},
                          {"id", journal_id},
                          {"layout", transaction_layout},
                          {"entries", entries}};
    json legacy = journal;
    legacy.erase("layout");
    json escaping = journal;
    escaping["entries"][1]["path"] = "element/../../element/c.txt";
    return {journal.dump(2), legacy.dump(), escaping.dump()};
}

class JournalTarget {
  public:
    explicit JournalTarget(ScratchClient& scratch) : scratch_(scratch) {}

    // A journal the reader refuses goes no further, so most inputs are read as bytes; an
    // accepted one, and one in `through_a_file` of all, is recovered from the file.
    std::string operator()(const std::string& input, Prng& rng) {
        UpdateEngine& engine = scratch_.engine();
        if (!rng.one_in(through_a_file)) {
            require_paths_under_element(parse_install_journal(view(input)));
        }
        if (changed_) {
            lay_out_interrupted_install(scratch_);
            changed_ = false;
        }
        ScratchClient::put(engine.client.transaction_path, input);
        require_paths_under_element(read_install_journal(engine.client.transaction_path));
        changed_ = true;  // recovery may change the client from here on
        try {
            recover_transaction(engine.client, engine.state.view);
        } catch (...) {
            scratch_.require_decoys_untouched();
            throw;
        }
        scratch_.require_decoys_untouched();
        if (fs::exists(engine.client.transaction_path)) {
            broken("recovery succeeded and left its journal");
        }
        return {};
    }

  private:
    void require_paths_under_element(const InstallJournal& journal) const {
        const fs::path& root = scratch_.engine().client.root;
        for (const JournalEntry& entry : journal.entries) {
            const fs::path live = resolve_relative_path(root, entry.path, LinkCheck::skip);
            if (!lies_under(root / L"element", live) ||
                !normalize_manifest_path(entry.path).starts_with("element/")) {
                broken("a journal was accepted with a path outside element/: " + entry.path);
            }
        }
    }

    ScratchClient& scratch_;
    bool changed_ = true;
};

// --- the owner file ------------------------------------------------------------------------

std::vector<std::string> owner_seeds(UpdateEngine& engine) {
    const json owner = {
        {"schema", owner_schema}, {"root", client_key(engine.client.root)}, {"id", owner_id}};
    json foreign = owner;
    foreign["id"] = journal_id;
    return {owner.dump(2), owner.dump(), foreign.dump()};
}

bool owner_accepted(ScratchClient& scratch, const std::string& input, Prng& rng) {
    UpdateEngine& engine = scratch.engine();
    if (!rng.one_in(through_a_file)) {
        return parse_owner(engine.client, owner_id, view(input));
    }
    const fs::path folder = transaction_folder(engine.client, owner_id, TransactionLayout::element);
    ScratchClient::put(folder / owner_file_name, input);
    return read_owner(engine.client, owner_id, folder);
}

std::string check_owner(ScratchClient& scratch, const std::string& input, Prng& rng) {
    UpdateEngine& engine = scratch.engine();
    if (!owner_accepted(scratch, input, rng)) {
        return "(not ours)";
    }
    const json document = parse_json_bytes(view(input), "parse_json");
    if (document.value("schema", std::string()) != owner_schema ||
        document.value("root", std::string()) != client_key(engine.client.root) ||
        document.value("id", std::string()) != owner_id) {
        broken("an owner file of another client or transaction was accepted");
    }
    return {};
}

}  // namespace

void add_state_targets(std::vector<Target>& targets, ScratchClient& scratch) {
    UpdateEngine& engine = scratch.engine();
    const StagePolicy silent{.never_throws = true};
    targets.push_back({.name = "receipt_v2",
                       .seeds = receipt_seeds(engine),
                       .policy = silent,
                       .finish = reseal_receipt,
                       .read = [&scratch](const std::string& input, Prng& rng) {
                           return check_receipt(scratch, input, rng);
                       }});
    const std::pair<const char*, fs::path> legacy_places[] = {
        {"receipt_legacy_cache", engine.client.cache_dir / L"installed-v1.bin"},
        {"receipt_legacy_root", engine.client.root / L".vornell-installed-v1.bin"}};
    for (const auto& [name, path] : legacy_places) {
        targets.push_back({.name = name,
                           .shape = InputShape::fixed,
                           .seeds = legacy_seeds(engine),
                           .policy = silent,
                           .finish = reseal_legacy,
                           .read = [&scratch, path](const std::string& input, Prng& rng) {
                               return check_legacy(scratch, path, input, rng);
                           }});
    }
    targets.push_back(
        {.name = "install_journal",
         .seeds = journal_seeds(engine),
         .read = [journal = std::make_shared<JournalTarget>(scratch)](
                     const std::string& input, Prng& rng) { return (*journal)(input, rng); }});
    targets.push_back({.name = "owner_file",
                       .seeds = owner_seeds(engine),
                       .policy = silent,
                       .read = [&scratch](const std::string& input, Prng& rng) {
                           return check_owner(scratch, input, rng);
                       }});
}

}  // namespace vorn::fuzz
