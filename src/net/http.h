// Requests, responses and the one interface all HTTP traffic goes through.
#pragma once

#include <cstdint>
#include <filesystem>
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

class Transport {
  public:
    virtual ~Transport() = default;

    // One exchange; fills the response or throws LauncherError.
    virtual void request(HttpResponse& response, const HttpRequest& request) = 0;

    // One GET that streams the body into `part_path` (created new), hashing as it
    // writes; the response body stays empty. Throws LauncherError.
    virtual void download_blob(HttpResponse& response, const HttpRequest& request,
                               const std::filesystem::path& part_path, std::uint64_t expected_size,
                               const std::string& expected_sha256) = 0;
};

// GET with no-cache and identity headers under the given trust rule.
HttpRequest make_request(const std::wstring& url, UrlTrust trust,
                         std::uint64_t max_body = default_max_body);

// 1 to 20 ASCII digits within 64 bits; none for anything else. Never throws.
std::optional<std::uint64_t> parse_decimal_length(std::string_view text) noexcept;

// Content-Length: 1 to 20 ASCII digits within 64 bits, else LauncherError "content_length".
std::uint64_t parse_response_length(const std::string& text);

}  // namespace vorn
