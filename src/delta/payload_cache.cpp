#include "delta/payload_cache.h"

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "delta/delta_fetch.h"
#include "engine/client_paths.h"
#include "engine/file_hashing.h"
#include "engine/update_engine.h"
#include "net/blob_cache.h"
#include "net/http.h"

namespace vorn {
namespace {

constexpr std::uint64_t payload_deadline_ms = 7200000;  // two hours for 512 MiB
constexpr int payload_attempts = 3;

}  // namespace

std::filesystem::path cached_payload(UpdateEngine& engine, const Manifest& manifest,
                                     const delta::Payload& payload) {
    const std::string relative = "delta-payloads-v1/" + payload.compressed.sha256 + ".zlib";
    const std::filesystem::path path = resolve_relative_path(engine.cache_dir, relative, false);
    require_local_path_length(path);

    if (file_exists(path)) {
        // A link or a folder in place of the blob is damage like any other.
        if (!is_plain_file(path) || client_file_size(path) != payload.compressed.bytes ||
            hash_file_with_view(engine, path, to_utf16(relative), checksum_title) !=
                payload.compressed.sha256) {
            throw LauncherError("delta_payload_cache",
                                L"Сохранённый файл дельты повреждён. Проверка остановлена.");
        }
        return path;
    }

    ensure_service_directory(path.parent_path());
    publish_view(engine, 3, 0, L"Загружаем данные дельты", to_utf16(payload.path), L"", true);
    HttpRequest request = make_request(resolve_payload_url(engine, manifest, payload),
                                       engine.config, payload.compressed.bytes);
    request.deadline_ms = payload_deadline_ms;
    download_blob_cached(*engine.transport, request, path, payload.compressed.bytes,
                         payload.compressed.sha256, payload_attempts);
    return path;
}

}  // namespace vorn
