#include "delta/delta_fetch.h"

#include <map>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "net/http.h"
#include "net/url_policy.h"

namespace vorn {
namespace {

constexpr std::size_t longest_location = 2048;

[[noreturn]] void fail_coverage(const wchar_t* message) {
    throw LauncherError("delta_coverage", message);
}

const DeltaDescriptor& descriptor_of(const Manifest& manifest) {
    if (!manifest.delta) {
        throw LauncherError("delta_descriptor", L"Описание дельты отсутствует.");
    }
    return *manifest.delta;
}

bool is_plain_location(const std::string& location) {
    if (location.empty() || location.size() > longest_location) {
        return false;
    }
    for (const char c : location) {
        if (c < 0x21 || c > 0x7e || c == '\\' || c == '?' || c == '#') {
            return false;
        }
    }
    return true;
}

void check_coverage(const Manifest& manifest, const DeltaManifest& delta) {
    std::map<std::wstring, const ManifestFile*> listed;
    for (const ManifestFile& file : manifest.files) {
        listed.emplace(manifest_path_identity(file.path), &file);
    }
    std::map<std::wstring, bool> covered;
    for (const DeltaEntry& entry : delta.entries) {
        const std::wstring identity = manifest_path_identity(entry.path);
        const auto file = listed.find(identity);
        if (file == listed.end() || file->second->sha256 != entry.target.sha256 ||
            file->second->size != entry.target.bytes || !covered.emplace(identity, true).second) {
            fail_coverage(L"Дельта не соответствует списку файлов обновления.");
        }
    }
    for (const ManifestFile& file : manifest.files) {
        if (file.size > largest_manifest_file &&
            !covered.contains(manifest_path_identity(file.path))) {
            fail_coverage(
                L"Большой архив отсутствует в проверенной дельте. Обновление остановлено.");
        }
    }
}

}  // namespace

std::wstring resolve_delta_url(const DeltaSource& source, const std::string& location) {
    if (!is_plain_location(location)) {
        throw LauncherError("delta_url", L"В описании дельты указан недопустимый адрес.");
    }
    std::wstring url;
    if (location.starts_with("https://") || location.starts_with("http://")) {
        url = to_utf16(location);
    } else {
        resolve_relative_path(source.state_dir, location, LinkCheck::skip);
        url = source.update_base_url;
        if (!url.ends_with(L'/')) {
            url += L'/';
        }
        url += to_utf16(location);
    }
    require_trusted_url(url, source.trust);
    return url;
}

std::wstring resolve_payload_url(const DeltaSource& source, const Manifest& manifest,
                                 const delta::Payload& payload) {
    const std::wstring index = resolve_delta_url(source, descriptor_of(manifest).url);
    const std::size_t slash = index.rfind(L'/');
    if (slash == std::wstring::npos) {
        throw LauncherError("delta_url", L"Не удалось определить адрес данных дельты.");
    }
    const std::wstring url = index.substr(0, slash + 1) + to_utf16(payload.path);
    require_trusted_url(url, source.trust);
    return url;
}

DeltaManifest fetch_delta_manifest(const DeltaSource& source, const Manifest& manifest) {
    const DeltaDescriptor& descriptor = descriptor_of(manifest);
    source.progress({.phase = Phase::checking, .title = L"Проверяем описание дельты"});
    HttpResponse response;
    source.transport->request(response, make_request(resolve_delta_url(source, descriptor.url),
                                                     source.trust, descriptor.size));
    if (response.status != 200) {
        throw LauncherError("delta_index_http", L"Не удалось загрузить описание дельты.", 0,
                            response.status);
    }
    if (response.body.size() != descriptor.size ||
        sha256_bytes(response.body) != descriptor.sha256) {
        throw LauncherError("delta_index_sha",
                            L"Описание дельты не прошло проверку. Файлы не изменены.");
    }
    DeltaManifest delta = parse_delta_manifest(response.body, descriptor.sha256, {});
    check_coverage(manifest, delta);
    return delta;
}

}  // namespace vorn
