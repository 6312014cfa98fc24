#include "engine/manifest/installed_receipt.h"

#include <cstring>

#include <nlohmann/json.hpp>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/identifiers.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_view.h"
#include "engine/client/repair_state.h"
#include "engine/manifest/manifest_freshness.h"
#include "model/endpoints.h"
#include "model/manifest.h"

namespace vorn {
namespace {

using nlohmann::json;

constexpr int receipt_schema = 2;
constexpr std::size_t longest_version = 31;
constexpr std::uint64_t largest_legacy_length = 8388608;
constexpr const wchar_t* legacy_cache_receipt = L"installed-v1.bin";
constexpr const wchar_t* legacy_root_receipt = L".vornell-installed-v1.bin";

// Offsets of the fixed layout.
constexpr std::size_t magic_at = 0, version_at = 8, record_size_at = 12, kind_at = 16,
                      reserved_at = 20, root_at = 24, feed_at = 89, key_at = 154,
                      legacy_version_at = 219, etag_at = 251, length_at = 507, checksum_at = 511;
constexpr std::size_t digest_width = 65, version_width = 32, etag_units = 128;

// Any fault of the receipt's form leaves the client unverified; the caller says so.
const JsonFields receipt_fields("local_state", L"Неверная запись о проверке клиента.");

std::string string_or_empty(const json& object, const char* key) {
    const json* found = receipt_fields.find(object, key);
    return found == nullptr ? std::string() : receipt_fields.text(*found);
}

InstalledReceipt parse_current_receipt(const ClientPlace& client, ByteView bytes) {
    InstalledReceipt receipt;
    if (bytes.size() > largest_receipt) {
        return receipt;  // what the file reader refuses to read at all
    }
    json document = parse_json_bytes(bytes, "parse_json");
    if (!document.is_object()) {
        return receipt;
    }
    const std::string checksum = receipt_fields.text(receipt_fields.member(document, "checksum"));
    document.erase("checksum");
    if (sha256_string(compact_json(document)) != checksum) {
        return receipt;
    }
    const auto schema = document.find("schema");
    if (schema == document.end() || !schema->is_number_integer() ||
        schema->get<std::int64_t>() != receipt_schema ||
        string_or_empty(document, "root") != client.key ||
        string_or_empty(document, "feed") != client.feed) {
        return receipt;
    }
    receipt.manifest_key = string_or_empty(document, "manifest_key");
    receipt.version = string_or_empty(document, "version");
    receipt.etag = string_or_empty(document, "etag");
    const auto length = document.find("content_length");
    if (length != document.end() && !length->is_number_unsigned()) {
        return receipt;
    }
    receipt.content_length = length == document.end() ? 0 : length->get<std::uint64_t>();
    receipt.valid = is_sha256_hex(receipt.manifest_key) && !receipt.version.empty() &&
                    receipt.version.size() <= longest_version;
    return receipt;
}

// The text before the first zero byte; false when the field holds none.
bool read_ascii(ByteView bytes, std::size_t at, std::size_t width, std::string& text) {
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(at);
    const auto end = begin + static_cast<std::ptrdiff_t>(width);
    const auto zero = std::find(begin, end, std::uint8_t{0});
    if (zero == end) {
        return false;
    }
    text.assign(begin, zero);
    return true;
}

bool read_legacy_etag(ByteView bytes, std::string& etag) {
    std::wstring units;
    for (std::size_t i = 0; i < etag_units; ++i) {
        const wchar_t unit =
            static_cast<wchar_t>(bytes[etag_at + 2 * i] | bytes[etag_at + 2 * i + 1] << 8);
        if (unit == 0) {
            etag = to_utf8(units);
            return true;
        }
        units.push_back(unit);
    }
    return false;
}

InstalledReceipt parse_fixed_receipt(const ClientPlace& client, ByteView bytes) {
    InstalledReceipt receipt;
    if (bytes.size() != legacy_receipt_size ||
        std::memcmp(bytes.data() + magic_at, "VNLRCP1", 8) != 0 ||
        get_u32_le(bytes, version_at) != 1 ||
        get_u32_le(bytes, record_size_at) != legacy_receipt_size ||
        get_u32_le(bytes, kind_at) != 1 || get_u32_le(bytes, reserved_at) != 0) {
        return receipt;
    }
    std::string root, feed, key, checksum, version, etag;
    // Legacy receipts were only ever written for the production feed.
    const std::string production_feed = feed_digest(default_endpoints().manifest_url);
    if (!read_ascii(bytes, root_at, digest_width, root) || root != client.key ||
        !read_ascii(bytes, feed_at, digest_width, feed) || feed != production_feed ||
        !read_ascii(bytes, key_at, digest_width, key) || !is_sha256_hex(key) ||
        !read_ascii(bytes, checksum_at, digest_width, checksum) || !is_sha256_hex(checksum) ||
        checksum != sha256_bytes(ByteView(bytes.data(), checksum_at)) ||
        !read_ascii(bytes, legacy_version_at, version_width, version) || version.empty() ||
        !read_legacy_etag(bytes, etag)) {
        return receipt;
    }
    const std::uint64_t length = get_u32_le(bytes, length_at);
    if (length > largest_legacy_length || (length != 0 && !is_strong_etag(etag)) ||
        (length == 0 && !etag.empty())) {
        return receipt;
    }
    receipt.valid = true;
    receipt.legacy = true;
    receipt.manifest_key = key;
    receipt.version = version;
    receipt.etag = etag;
    receipt.content_length = length;
    return receipt;
}

}  // namespace

InstalledReceipt parse_installed_receipt(const ClientPlace& client, ByteView bytes) noexcept {
    try {
        return parse_current_receipt(client, bytes);
    } catch (const std::exception&) {
        return {};  // damaged or foreign: the client is simply unverified
    }
}

InstalledReceipt parse_legacy_receipt(const ClientPlace& client, ByteView bytes) noexcept {
    try {
        return parse_fixed_receipt(client, bytes);
    } catch (const std::exception&) {
        return {};
    }
}

InstalledReceipt read_legacy_receipt(const ClientPlace& client, const std::filesystem::path& path) {
    try {
        return parse_legacy_receipt(client, read_file_limited(path, legacy_receipt_size));
    } catch (const std::exception&) {
        return {};  // an unreadable receipt only leaves the client unverified
    }
}

InstalledReceipt read_installed_receipt(const ClientPlace& client) {
    try {
        if (file_exists(client.receipt_path)) {
            return parse_installed_receipt(client,
                                           read_file_limited(client.receipt_path, largest_receipt));
        }
        for (const auto& path :
             {client.cache_dir / legacy_cache_receipt, client.root / legacy_root_receipt}) {
            if (file_exists(path)) {
                InstalledReceipt receipt = read_legacy_receipt(client, path);
                if (receipt.valid) {
                    return receipt;
                }
            }
        }
    } catch (const std::exception&) {
        // Damaged, foreign or unreadable: the client is simply unverified.
    }
    return {};
}

void write_installed_receipt(const ClientPlace& client, EngineView& view,
                             const Manifest& manifest) {
    json receipt = {{"schema", receipt_schema},
                    {"root", client.key},
                    {"feed", client.feed},
                    {"manifest_key", manifest.key},
                    {"version", manifest.version},
                    {"etag", manifest.etag},
                    {"content_length", manifest.content_length},
                    {"verified_at_utc", utc_timestamp()}};
    receipt["checksum"] = sha256_string(compact_json(receipt));
    write_json_file(client.receipt_path, receipt);

    const InstalledReceipt written = read_installed_receipt(client);
    if (!written.valid || written.manifest_key != manifest.key) {
        throw LauncherError("receipt_verify", L"Не удалось сохранить результат проверки.");
    }
    remove_file_if_present(client.root / legacy_marker_name);
    remove_file_if_present(client.marker_path);
    if (is_repair_required(client)) {
        throw LauncherError("recovery_required", L"Клиент требует завершения восстановления.");
    }
    view.clean.store(true);
    view.snapshot.client_version = manifest.version;
}

}  // namespace vorn
