#include "engine/manifest/manifest_parse.h"

#include <windows.h>

#include <limits>
#include <set>

#include "core/hex.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "delta/delta_fetch.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_services.h"

namespace vorn {
namespace {

using nlohmann::json;

constexpr std::size_t longest_version = 31;

LauncherError manifest_error(const char* stage, const wchar_t* message) {
    return LauncherError(stage, message);
}

[[noreturn]] void fail_parse(const wchar_t* message) {
    throw manifest_error("manifest_parse", message);
}

std::string read_executable(const ClientPlace& client, const json& document) {
    const auto found = document.find("executable");
    const std::string executable =
        found == document.end() ? std::string(default_executable) : found->get<std::string>();
    resolve_client_path(client, executable, LinkCheck::skip);
    if (normalize_manifest_path(executable) != default_executable) {
        throw manifest_error("manifest_executable",
                             L"Описание обновления содержит неизвестный файл запуска.");
    }
    return executable;
}

DeltaDescriptor read_delta_descriptor(const ClientPlace& client, const EngineServices& services,
                                      const json& value) {
    if (!value.is_object() || value.size() != 3 || !value.contains("url") ||
        !value.contains("sha256") || !value.contains("size")) {
        throw manifest_error("delta_descriptor", L"Неверное описание дельты обновления.");
    }
    DeltaDescriptor delta;
    delta.url = value.at("url").get<std::string>();
    delta.sha256 = value.at("sha256").get<std::string>();
    delta.size = read_manifest_size(value, "size", largest_delta_manifest, SizePresence::required);
    if (!is_sha256_hex(delta.sha256) || delta.size == 0) {
        throw manifest_error("delta_descriptor", L"Неверный размер или контрольная сумма дельты.");
    }
    resolve_delta_url(DeltaSource{.update_base_url = services.config.endpoints.update_base_url,
                                  .trust = services.config.url_trust(),
                                  .state_dir = client.cache_dir},
                      delta.url);
    return delta;
}

ManifestFile read_file_entry(const ClientPlace& client, const json& entry, std::uint64_t size_limit,
                             std::set<std::wstring>& seen) {
    ManifestFile file;
    file.path = entry.at("path").get<std::string>();
    resolve_client_path(client, file.path, LinkCheck::skip);
    const std::string normal = normalize_manifest_path(file.path);
    if (normal.size() < 8 || !normal.starts_with("element/") ||
        !seen.insert(manifest_path_identity(file.path)).second) {
        throw manifest_error("manifest_path",
                             L"В описании обновления есть повторяющийся или недопустимый путь.");
    }
    file.sha256 = lower_ascii(entry.at("sha256").get<std::string>());
    if (!is_sha256_hex(file.sha256)) {
        throw manifest_error("manifest_sha", L"В описании обновления неверная контрольная сумма.");
    }
    file.size = read_manifest_size(entry, "size", size_limit, SizePresence::required);
    file.compressed_size =
        read_manifest_size(entry, "compressedSize", largest_manifest_file, SizePresence::optional);
    return file;
}

// The key over the content that matters, in one canonical form: another key order or
// other letter case of paths gives the same key.
std::string canonical_key(const Manifest& manifest, const json& canonical_files) {
    json canonical = json::object();
    canonical["version"] = manifest.version;
    canonical["executable"] = normalize_manifest_path(manifest.executable);
    canonical["files"] = canonical_files;
    if (manifest.delta) {
        canonical["delta"] = {{"url", manifest.delta->url},
                              {"sha256", manifest.delta->sha256},
                              {"size", manifest.delta->size}};
    }
    try {
        return sha256_string(compact_json(canonical));
    } catch (const LauncherError&) {
        fail_parse(L"Сервер вернул неверное описание обновлений.");
    }
}

Manifest build_manifest(const ClientPlace& client, const EngineServices& services,
                        const HttpResponse& response) {
    const json document = parse_json_bytes(response.body, "manifest_parse");
    const auto files = document.is_object() ? document.find("files") : document.end();
    if (files == document.end() || !files->is_array() || files->empty() ||
        files->size() > most_manifest_files) {
        throw manifest_error("manifest_limit", L"Неверное число файлов обновления.");
    }

    Manifest manifest;
    manifest.version = parse_manifest_version(document.at("version"));
    manifest.executable = read_executable(client, document);
    if (const auto delta = document.find("delta"); delta != document.end()) {
        manifest.delta = read_delta_descriptor(client, services, *delta);
    }

    const std::uint64_t size_limit = manifest.delta ? largest_delta_file : largest_manifest_file;
    std::set<std::wstring> seen;
    json canonical_files = json::array();
    for (const json& entry : *files) {
        ManifestFile file = read_file_entry(client, entry, size_limit, seen);
        if (is_guild_icon_list_path(file.path)) {
            continue;
        }
        canonical_files.push_back({{"path", normalize_manifest_path(file.path)},
                                   {"sha256", file.sha256},
                                   {"size", file.size}});
        manifest.files.push_back(std::move(file));
    }
    manifest.key = canonical_key(manifest, canonical_files);

    if (const auto etag = response.headers.find("etag"); etag != response.headers.end()) {
        manifest.etag = etag->second;
    }
    manifest.content_length = response.body.size();
    return manifest;
}

}  // namespace

Manifest parse_manifest(const ClientPlace& client, const EngineServices& services,
                        const HttpResponse& response) {
    if (response.status != 200) {
        throw LauncherError("manifest_http", L"Не удалось получить описание обновлений.", 0,
                            response.status);
    }
    Manifest manifest;
    try {
        manifest = build_manifest(client, services, response);
    } catch (LauncherError& error) {
        error.event = "manifest_failed";
        error.bytes = response.body.size();
        throw;
    } catch (const std::exception&) {
        // A missing key, a value of the wrong type, an entry that is not an object.
        LauncherError error("manifest_parse", L"Сервер вернул неверное описание обновлений.");
        error.event = "manifest_failed";
        error.bytes = response.body.size();
        throw error;
    }
    return manifest;
}

std::uint64_t read_manifest_size(const json& object, const char* key, std::uint64_t limit,
                                 SizePresence presence) {
    const auto found = object.find(key);
    if (found == object.end()) {
        if (presence == SizePresence::optional) {
            return 0;
        }
        fail_parse(L"В описании обновления отсутствует размер файла.");
    }
    // Fractions and negative numbers are refused; any whole non-negative number is read.
    const std::uint64_t value =
        JsonFields("manifest_parse", L"В описании обновления указан неверный размер файла.")
            .size(*found, std::numeric_limits<std::uint64_t>::max());
    if (value > limit) {
        throw manifest_error("manifest_limit", L"Файл обновления превышает допустимый размер.");
    }
    return value;
}

std::string parse_manifest_version(const json& value) {
    std::string version;
    if (value.is_string()) {
        version = value.get<std::string>();
    } else if (value.is_number_unsigned()) {
        version = std::to_string(value.get<std::uint64_t>());
    } else if (value.is_number_integer()) {
        version = std::to_string(value.get<std::int64_t>());
    } else {
        fail_parse(L"Неверная версия обновления.");
    }
    if (version.empty() || version.size() > longest_version) {
        fail_parse(L"Неверная версия обновления.");
    }
    for (const char c : version) {
        if (c < 33 || c > 126) {
            fail_parse(L"Неверная версия обновления.");
        }
    }
    return version;
}

}  // namespace vorn
