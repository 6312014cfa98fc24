#include "delta/payload_cache.h"

#include "core/file_probes.h"
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

}  // namespace

std::filesystem::path cached_payload(const DeltaSource& source, const Manifest& manifest,
                                     const delta::Payload& payload) {
    const std::string relative = "delta-payloads-v1/" + payload.compressed.sha256 + ".zlib";
    const std::filesystem::path path =
        resolve_relative_path(source.state_dir, relative, LinkCheck::skip);
    require_local_path_length(path);

    if (file_exists(path)) {
        // A link or a folder in place of the blob is damage like any other.
        if (!is_plain_file(path) || client_file_size(path) != payload.compressed.bytes ||
            source.hash_file(path, to_utf16(relative), checksum_title) !=
                payload.compressed.sha256) {
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
