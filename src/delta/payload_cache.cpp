#include "delta/payload_cache.h"

#include <optional>
#include <vector>

#include "core/file_probes.h"
#include "core/hex.h"
#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "delta/delta_fetch.h"
#include "net/blob_cache.h"
#include "net/http.h"

namespace vorn {
namespace {

constexpr std::uint64_t payload_deadline_ms = 7200000;  // two hours for 512 MiB
constexpr int payload_attempts = 3;

// "<digest><suffix>", its download's lock "<digest><suffix>.download.lock" (held open, so
// never deleted, while the download runs) or a partial "<digest><suffix>.<hex>.part|.tmp":
// the digest; none for other names.
std::optional<std::string> cached_digest(std::wstring_view name, std::wstring_view suffix) {
    if (name.size() < 64 + suffix.size() || !is_lower_hex(name.substr(0, 64)) ||
        name.substr(64, suffix.size()) != suffix) {
        return std::nullopt;
    }
    const std::wstring_view rest = name.substr(64 + suffix.size());
    if (!rest.empty() && rest != L".download.lock") {
        const bool temporary = rest.ends_with(L".part") || rest.ends_with(L".tmp");
        const std::size_t dot = rest.rfind(L'.');
        if (!temporary || rest.front() != L'.' || dot < 2 ||
            !is_lower_hex(rest.substr(1, dot - 1))) {
            return std::nullopt;
        }
    }
    return to_utf8(std::wstring(name.substr(0, 64)));
}

}  // namespace

void keep_only_named(const std::filesystem::path& folder, std::wstring_view suffix,
                     const std::set<std::string>& named) noexcept {
    try {
        for (const FolderEntry& entry : list_folder(folder).value_or(std::vector<FolderEntry>{})) {
            const auto digest = cached_digest(entry.name, suffix);
            if ((entry.attributes & link_or_directory_mask) == 0 && digest &&
                !named.contains(*digest)) {
                discard_damaged_cache_file(folder / entry.name);
            }
        }
    } catch (...) {
        // Space is all a leftover costs; the next update sweeps again.
    }
}

void keep_only_package_payloads(const std::filesystem::path& state_dir,
                                const DeltaManifest* package) noexcept {
    std::set<std::string> named;
    for (const DeltaEntry& entry : package ? package->entries : std::vector<DeltaEntry>{}) {
        named.insert(entry.payload.compressed.sha256);
    }
    keep_only_named(state_dir / payload_cache_folder, L".zlib", named);
}

void discard_damaged_cache_file(const std::filesystem::path& path) noexcept {
    try {
        clear_read_only(path);
        DeleteFileW(long_path(path).c_str());
    } catch (...) {
    }
}

std::filesystem::path cached_payload(const DeltaSource& source, const Manifest& manifest,
                                     const delta::Payload& payload) {
    const std::string relative =
        std::string(payload_cache_folder) + "/" + payload.compressed.sha256 + ".zlib";
    const std::filesystem::path path =
        resolve_relative_path(source.state_dir, relative, LinkCheck::skip);
    require_local_path_length(path);

    if (file_exists(path)) {
        // A link or a folder in place of the blob is damage like any other.
        if (!is_plain_file(path)) {
            throw LauncherError("delta_payload_cache",
                                L"Сохранённый файл дельты повреждён. Проверка остановлена.");
        }
        if (client_file_size(path) != payload.compressed.bytes ||
            source.hash_file(path, to_utf16(relative), checksum_title) !=
                payload.compressed.sha256) {
            // Reported as it is, and gone: the next update downloads it again.
            discard_damaged_cache_file(path);
            throw LauncherError("delta_payload_cache",
                                L"Сохранённый файл дельты повреждён. Проверка остановлена.");
        }
        return path;
    }

    ensure_service_directory(path.parent_path());
    source.progress({.phase = Phase::downloading,
                     .title = L"Загружаем данные дельты",
                     .detail = to_utf16(payload.path)});
    HttpRequest request = make_request(resolve_payload_url(source, manifest, payload), source.trust,
                                       payload.compressed.bytes);
    request.deadline_ms = payload_deadline_ms;
    download_blob_cached(*source.transport, request, path, payload.compressed.bytes,
                         payload.compressed.sha256, payload_attempts);
    return path;
}

}  // namespace vorn
