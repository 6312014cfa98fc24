#include "engine/manifest/manifest_freshness.h"

#include "core/launcher_error.h"
#include "engine/client/engine_services.h"
#include "model/manifest.h"
#include "net/fetch.h"
#include "net/inflate.h"

namespace vorn {
namespace {

constexpr std::int32_t head_timeout_ms = 5000;
constexpr std::size_t longest_last_modified = 128;
constexpr std::size_t longest_length_text = 20;

const wchar_t* const unconfirmed =
    L"Не удалось подтвердить актуальность сжатого описания обновлений.";

std::string header(const HttpResponse& response, const char* name) {
    const auto found = response.headers.find(name);
    return found == response.headers.end() ? std::string() : found->second;
}

[[noreturn]] void fail_stale(const wchar_t* message) {
    throw LauncherError("manifest_gzip_stale", message);
}

}  // namespace

std::optional<std::wstring> compressed_manifest_url(const std::wstring& manifest_url) {
    if (manifest_url.empty() || manifest_url.find(L'#') != std::wstring::npos) {
        return std::nullopt;
    }
    const std::size_t query = manifest_url.find(L'?');
    const std::wstring path = manifest_url.substr(0, query);
    if (path.ends_with(L".gz")) {
        return std::nullopt;
    }
    return path + L".gz" + (query == std::wstring::npos ? L"" : manifest_url.substr(query));
}

std::uint64_t parse_content_length(const HttpResponse& response) {
    const std::string text = header(response, "content-length");
    if (text.empty() || text.size() > longest_length_text) {
        throw LauncherError("manifest_gzip_metadata", unconfirmed);
    }
    const std::optional<std::uint64_t> length = parse_decimal_length(text);
    if (!length || *length > largest_manifest) {
        throw LauncherError("manifest_gzip_metadata", L"Неверный размер описания обновлений.");
    }
    const std::uint64_t value = *length;
    if (value == 0) {
        throw LauncherError("manifest_gzip_metadata", L"Описание обновлений пусто.");
    }
    return value;
}

HttpResponse head_manifest(const EngineServices& services, int attempts) {
    HttpRequest request =
        make_request(services.config.endpoints.manifest_url, services.config.url_trust());
    request.method = "HEAD";
    request.timeout_ms = head_timeout_ms;
    HttpResponse response;
    fetch(response, *services.transport, request, attempts);
    return response;
}

HttpResponse head_manifest_metadata(const EngineServices& services) {
    HttpResponse response = head_manifest(services, 1);

    const std::string last_modified = header(response, "last-modified");
    const std::string encoding = header(response, "content-encoding");
    if (response.status != 200 || !is_strong_etag(header(response, "etag")) ||
        last_modified.empty() || last_modified.size() > longest_last_modified ||
        !(encoding.empty() || encoding == "identity")) {
        throw LauncherError("manifest_gzip_metadata", unconfirmed);
    }
    return response;
}

// The compressed copy is trusted only when a HEAD before and after it shows one
// unchanged plain document of exactly the decompressed size.
HttpResponse fetch_compressed_manifest(const EngineServices& services,
                                       const std::wstring& compressed_url) {
    const HttpResponse before = head_manifest_metadata(services);
    const std::uint64_t expected = parse_content_length(before);

    HttpResponse compressed;
    fetch(compressed, *services.transport,
          make_request(compressed_url, services.config.url_trust(), largest_compressed_manifest),
          1);
    if (compressed.status != 200 ||
        header(compressed, "last-modified") != header(before, "last-modified")) {
        fail_stale(L"Сжатое описание обновлений устарело.");
    }
    Bytes document = inflate_bytes(compressed.body, largest_manifest, true);
    if (document.size() != expected) {
        fail_stale(L"Размер сжатого описания обновлений не соответствует текущему.");
    }

    const HttpResponse after = head_manifest_metadata(services);
    for (const char* name : {"etag", "content-length", "last-modified"}) {
        if (header(before, name) != header(after, name)) {
            fail_stale(L"Описание обновлений изменилось во время загрузки.");
        }
    }

    HttpResponse result;
    result.status = 200;
    result.body = std::move(document);
    result.headers = after.headers;
    return result;
}

}  // namespace vorn
