#include "delta/delta_manifest.h"

#include <initializer_list>
#include <map>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/file_system.h"
#include "core/hex.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "model/manifest.h"
#include "net/http.h"

namespace vorn {
namespace {

using Json = nlohmann::json;

const wchar_t* const package_message = L"Пакет обновления повреждён или не подходит этому клиенту.";

constexpr std::string_view delta_schema_name = "vorn-client-delta-v1";
constexpr std::string_view entry_prefix = "element/";
constexpr std::size_t longest_operation = 16;
constexpr std::size_t digest_length = 64;
constexpr std::size_t header_hex_length = 8;
constexpr std::size_t shortest_entry_path = 9;
constexpr std::size_t longest_entry_path = 1023;
constexpr std::size_t most_entries = 512;
constexpr std::uint64_t largest_payload_total = 1073741824;  // 1 GiB
constexpr std::uint64_t largest_target_total = 17179869184;  // 16 GiB
constexpr std::uint64_t patch_header_offset = 4;
// A header rewrites bytes 4..7 of the base in place; it is accepted only on a base of at
// least this size.
constexpr std::uint64_t smallest_patched_base = 12;

// Entry paths are checked against a root that exists only for the check: the relative-path
// rules are lexical once links are not followed, so no disk is consulted.
const wchar_t* const probe_root = L"C:\\delta-schema";

[[noreturn]] void fail(const char* stage) {
    throw LauncherError(stage, package_message);
}

// The package's own document: any fault of its form is "delta_schema".
const JsonFields fields("delta_schema", package_message);

[[noreturn]] void schema_fault() {
    fields.refuse();
}

const std::string& read_text(const Json& value, std::size_t limit = longest_json_text) {
    return fields.text(value, limit);
}

bool is_lower_hex(std::string_view text, std::size_t length) {
    return text.size() == length && vorn::is_lower_hex(text);
}

// The "sha256" and "bytes" members of an object whose key set the caller has checked.
FileDigest read_digest_fields(const Json& object, std::uint64_t largest) {
    FileDigest digest;
    digest.sha256 = read_text(fields.member(object, "sha256"), digest_length);
    if (!is_sha256_hex(digest.sha256)) {
        schema_fault();
    }
    digest.bytes = fields.size(fields.member(object, "bytes"), largest);
    return digest;
}

FileDigest read_digest(const Json& value, std::uint64_t largest = largest_delta_file) {
    fields.expect_keys(value, {"sha256", "bytes"});
    return read_digest_fields(value, largest);
}

delta::Payload read_payload(const Json& value) {
    fields.expect_keys(value, {"path", "compression", "compressed", "raw"});
    if (read_text(fields.member(value, "compression")) != "zlib") {
        schema_fault();
    }
    delta::Payload payload;
    payload.compressed = read_digest(fields.member(value, "compressed"), largest_single_download);
    payload.raw = read_digest(fields.member(value, "raw"), largest_single_download);
    payload.path = read_text(fields.member(value, "path"));
    if (payload.path != "payload/" + payload.compressed.sha256 + ".zlib") {
        schema_fault();
    }
    return payload;
}

PatchHeader read_patch_header(const Json& value) {
    fields.expect_keys(value, {"offset", "before_hex", "after_hex"});
    PatchHeader header;
    header.offset = fields.size(fields.member(value, "offset"), largest_delta_file);
    header.before_hex = read_text(fields.member(value, "before_hex"), header_hex_length);
    header.after_hex = read_text(fields.member(value, "after_hex"), header_hex_length);
    if (header.offset != patch_header_offset ||
        !is_lower_hex(header.before_hex, header_hex_length) ||
        !is_lower_hex(header.after_hex, header_hex_length)) {
        schema_fault();
    }
    return header;
}

void check_entry_path(const std::string& path) {
    if (path.size() < shortest_entry_path || path.size() > longest_entry_path ||
        !path.starts_with(entry_prefix) || path.ends_with('/') ||
        path.find('\\') != std::string::npos) {
        fail("delta_path");
    }
    // Reserved names, dot segments and refused characters keep that check's own stage.
    resolve_relative_path(probe_root, path, LinkCheck::skip);
}

// The base and header rules of the entry's operation; the raw payload must rebuild the target.
void read_operation(const Json& entry, DeltaEntry& out) {
    const std::uint64_t payload_raw = out.payload.raw.bytes;
    const Json& base = fields.member(entry, "base");
    const Json& header = fields.member(entry, "patch_header");
    if (out.operation == "append") {
        out.base = read_digest(base);
        if (out.target.bytes < out.base->bytes ||
            payload_raw != out.target.bytes - out.base->bytes) {
            schema_fault();
        }
        if (!header.is_null()) {
            out.patch_header = read_patch_header(header);
            if (out.base->bytes < smallest_patched_base) {
                schema_fault();
            }
        }
    } else if (out.operation == "full") {
        if (!base.is_null() || !header.is_null() || payload_raw != out.target.bytes) {
            schema_fault();
        }
    } else {
        schema_fault();
    }
}

struct PayloadDigests {
    FileDigest compressed;
    FileDigest raw;
};

// What the entries have told so far: the rules that span entries.
struct EntryLedger {
    std::set<std::wstring> lowered_paths;
    std::map<std::string, PayloadDigests> payloads;
    std::map<std::string, FileDigest> bases;
    std::uint64_t target_total = 0;
};

void check_package_header(const Json& root) {
    fields.expect_keys(root, {"schema", "source_package", "full_base_null_means", "files",
                              "required_base_profile"});
    if (read_text(fields.member(root, "schema")) != delta_schema_name) {
        schema_fault();
    }
    const Json& source = fields.member(root, "source_package");
    fields.expect_keys(source, {"path", "sha256"});
    if (read_text(fields.member(source, "path")).empty() ||
        !is_sha256_hex(read_text(fields.member(source, "sha256"), digest_length))) {
        schema_fault();
    }
    if (read_text(fields.member(root, "full_base_null_means")).empty()) {
        schema_fault();
    }
}

DeltaEntry read_entry(const Json& entry, const std::set<std::string>& allowed_paths,
                      EntryLedger& ledger) {
    fields.expect_keys(entry, {"path", "operation", "base", "target", "patch_header", "payload"});
    DeltaEntry out;
    out.path = read_text(fields.member(entry, "path"));
    check_entry_path(out.path);
    // The client lives on a case-insensitive file system: two spellings are one file.
    if (!ledger.lowered_paths.insert(lower_wide(to_utf16(out.path))).second) {
        fail("delta_collision");
    }
    if (!allowed_paths.empty() && !allowed_paths.contains(out.path)) {
        fail("delta_uncovered_path");
    }

    out.operation = read_text(fields.member(entry, "operation"), longest_operation);
    out.target = read_digest(fields.member(entry, "target"));
    // Each target is below 4 GiB and there are at most 512, so the sum cannot wrap.
    ledger.target_total += out.target.bytes;
    if (ledger.target_total > largest_target_total) {
        schema_fault();
    }

    out.payload = read_payload(fields.member(entry, "payload"));
    const auto [known, first_use] = ledger.payloads.try_emplace(
        out.payload.path, PayloadDigests{out.payload.compressed, out.payload.raw});
    if (!first_use && (known->second.compressed != out.payload.compressed ||
                       known->second.raw != out.payload.raw)) {
        schema_fault();
    }

    read_operation(entry, out);
    if (out.base) {
        ledger.bases.emplace(out.path, *out.base);
    }
    return out;
}

// A payload shared by several entries is downloaded once, so it counts once.
void check_payload_totals(const std::map<std::string, PayloadDigests>& payloads) {
    std::uint64_t compressed_total = 0;
    std::uint64_t raw_total = 0;
    for (const auto& [path, digests] : payloads) {
        compressed_total += digests.compressed.bytes;
        raw_total += digests.raw.bytes;
    }
    if (compressed_total > largest_payload_total || raw_total > largest_payload_total) {
        schema_fault();
    }
}

// The profile must name every append base once, and nothing else.
void check_base_profile(const Json& profile, const std::map<std::string, FileDigest>& bases) {
    if (!profile.is_array() || profile.size() != bases.size()) {
        schema_fault();
    }
    std::set<std::string> listed;
    for (const Json& element : profile) {
        fields.expect_keys(element, {"path", "sha256", "bytes"});
        const std::string& path = read_text(fields.member(element, "path"));
        if (!listed.insert(path).second) {
            schema_fault();
        }
        const auto base = bases.find(path);
        if (base == bases.end() ||
            read_digest_fields(element, largest_delta_file) != base->second) {
            schema_fault();
        }
    }
}

}  // namespace

DeltaManifest parse_delta_manifest(ByteView text, const std::string& expected_sha256,
                                   const std::set<std::string>& allowed_paths) {
    if (text.size() > largest_delta_manifest || !is_sha256_hex(expected_sha256) ||
        sha256_bytes(text) != expected_sha256) {
        fail("delta_manifest_integrity");
    }
    const Json root = parse_json_bytes(text, "delta_schema");
    check_package_header(root);
    const Json& files = fields.member(root, "files");
    if (!files.is_array() || files.empty() || files.size() > most_entries) {
        schema_fault();
    }

    DeltaManifest manifest;
    manifest.manifest_sha256 = expected_sha256;
    manifest.manifest_text.assign(text.begin(), text.end());
    manifest.entries.reserve(files.size());
    EntryLedger ledger;
    for (const Json& entry : files) {
        manifest.entries.push_back(read_entry(entry, allowed_paths, ledger));
    }
    check_payload_totals(ledger.payloads);
    check_base_profile(fields.member(root, "required_base_profile"), ledger.bases);
    return manifest;
}

}  // namespace vorn
