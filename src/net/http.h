// Requests, responses and the one interface all HTTP traffic goes through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/download_limit.h"
#include "net/url_policy.h"

namespace vorn {

inline constexpr std::uint64_t default_max_body = 8388608;

struct HttpRequest {
    std::wstring url;
    std::string method = "GET";  // "GET", "HEAD" or "POST"
    Bytes body;
    std::map<std::wstring, std::wstring> headers;  // sent in key order
    std::uint64_t max_body = default_max_body;
    std::int32_t timeout_ms = 15000;           // per WinHTTP operation, clamped to 50 ... 30 000
    std::uint64_t deadline_ms = 120000;        // whole call while the body is read
    UrlTrust trust = UrlTrust::project_hosts;  // loopback only: also no proxy
};

struct HttpResponse {
    std::uint32_t status = 0;
    Bytes body;  // empty for HEAD and for status 400 and above
    // Only "etag", "content-length", "content-encoding", "content-type", "last-modified",
    // and only those the server sent; values in UTF-8.
    std::map<std::string, std::string> headers;
    std::uint64_t elapsed_ms = 0;
};

// What a download to a file is of: it chooses the words of its refusals.
enum class DownloadKind { delta_blob, update_file };

// A body streamed into a file that may already hold its first bytes from an earlier
// exchange. Those bytes are kept only when the server answers a range request under the
// same strong validator; any other answer starts the file again from byte 0.
struct FileDownload {
    std::filesystem::path path;  // opened without sharing; created when absent
    DownloadKind kind = DownloadKind::delta_blob;
    std::uint64_t size = 0;      // the whole body's announced length; 0 when not known
    std::uint64_t held = 0;      // in/out: bytes of the body the file holds
    std::string etag;            // in/out: the strong validator of those bytes, or ""
    std::uint64_t received = 0;  // out, adds up: body bytes received from the network
    // Called once the answer is accepted, before its first byte reaches the file, with
    // `held` and `etag` already those of the answer. May throw; the download then stops.
    std::function<void(const FileDownload&)> accepted;
};

class Transport {
  public:
    virtual ~Transport() = default;

    // One exchange; fills the response or throws LauncherError.
    virtual void request(HttpResponse& response, const HttpRequest& request) = 0;

    // One GET that streams the body into `download.path` after the bytes it holds (a
    // range request under `download.etag`), bounded by `request.max_body`; `held` counts
    // what the file holds also when it throws. The response body stays empty. Throws
    // LauncherError.
    virtual void download_file(HttpResponse& response, const HttpRequest& request,
                               FileDownload& download) = 0;
};

// GET with no-cache and identity headers under the given trust rule.
HttpRequest make_request(const std::wstring& url, UrlTrust trust,
                         std::uint64_t max_body = default_max_body);

// 1 to 20 ASCII digits within 64 bits; none for anything else. Never throws.
std::optional<std::uint64_t> parse_decimal_length(std::string_view text) noexcept;

// Content-Length: 1 to 20 ASCII digits within 64 bits, else LauncherError "content_length".
std::uint64_t parse_response_length(const std::string& text);

// A quoted validator of 2 to 126 visible characters with no quote inside; never weak.
bool is_strong_etag(std::string_view text);

}  // namespace vorn
