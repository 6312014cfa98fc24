#include "net/winhttp_exchange.h"

#include <winhttp.h>

#include <algorithm>
#include <array>
#include <vector>

#include "build_info.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "net/url_policy.h"

namespace vorn {
namespace {

constexpr std::int32_t shortest_timeout_ms = 50;
constexpr std::int32_t longest_timeout_ms = 30000;
constexpr DWORD longest_header_bytes = 16385;

struct ResponseHeader {
    DWORD query;
    const char* name;
};

// Queried in this order; the names are the keys of HttpResponse::headers.
constexpr std::array<ResponseHeader, 5> captured_headers = {{
    {WINHTTP_QUERY_ETAG, "etag"},
    {WINHTTP_QUERY_CONTENT_LENGTH, "content-length"},
    {WINHTTP_QUERY_CONTENT_ENCODING, "content-encoding"},
    {WINHTTP_QUERY_CONTENT_TYPE, "content-type"},
    {WINHTTP_QUERY_LAST_MODIFIED, "last-modified"},
}};

[[noreturn]] void transport_failure(const char* stage) {
    throw make_transport_error(stage, GetLastError());
}

void set_dword_option(HINTERNET handle, DWORD option, DWORD value, const char* stage) {
    if (!WinHttpSetOption(handle, option, &value, sizeof(value))) {
        transport_failure(stage);
    }
}

bool is_allowed_method(const std::string& method) {
    return method == "GET" || method == "HEAD" || method == "POST";
}

[[noreturn]] void header_read_failure(DWORD code) {
    throw LauncherError("http_headers", L"Не удалось прочитать заголовки ответа.", code);
}

}  // namespace

std::wstring request_header_block(const std::map<std::wstring, std::wstring>& headers) {
    std::wstring block;
    for (const auto& [name, value] : headers) {
        if (name.find_first_of(std::wstring(L"\r\n\0", 3)) != std::wstring::npos ||
            value.find_first_of(L"\r\n") != std::wstring::npos) {
            throw LauncherError("http_headers", L"Некорректные заголовки запроса.");
        }
        block += name + L": " + value + L"\r\n";
    }
    return block;
}

bool is_foreign_encoding(const std::string& lowered_encoding) {
    return !lowered_encoding.empty() && lowered_encoding != "identity";
}

WinHttpExchange::WinHttpExchange() : started_(GetTickCount64()) {}

std::uint64_t WinHttpExchange::elapsed_ms() const {
    return GetTickCount64() - started_;
}

std::string WinHttpExchange::content_encoding() const {
    const auto found = headers_.find("content-encoding");
    return found == headers_.end() ? std::string() : lower_ascii(found->second);
}

void WinHttpExchange::send(const HttpRequest& request) {
    const ParsedUrl url = parse_url(request.url);
    const int timeout = std::clamp(request.timeout_ms, shortest_timeout_ms, longest_timeout_ms);
    open_connection(request, url, timeout);
    open_request(request, url, timeout);
    send_and_receive(request);
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    if (!WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                             WINHTTP_NO_HEADER_INDEX)) {
        transport_failure("http_status");
    }
    status_ = status;
    has_status_ = true;
    query_headers();
}

// The session (user agent, proxy rule, time-outs, TLS 1.2 only) and the connection.
void WinHttpExchange::open_connection(const HttpRequest& request, const ParsedUrl& url,
                                      int timeout) {
    const std::wstring user_agent = std::wstring(L"VornellLauncher/") + launcher_build_wide;
    const DWORD access = request.trust == UrlTrust::loopback_only
                             ? WINHTTP_ACCESS_TYPE_NO_PROXY
                             : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    session_.reset(
        WinHttpOpen(user_agent.c_str(), access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) {
        transport_failure("winhttp_open");
    }
    if (!WinHttpSetTimeouts(session_.get(), timeout, timeout, timeout, timeout)) {
        transport_failure("set_timeouts");
    }
    if (url.secure) {
        set_dword_option(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS,
                         WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, "tls_option");
    }
    connection_.reset(WinHttpConnect(session_.get(), url.host.c_str(), url.port, 0));
    if (!connection_) {
        transport_failure("connect");
    }
}

// The request handle with its response time-out and the never-follow redirect policy.
void WinHttpExchange::open_request(const HttpRequest& request, const ParsedUrl& url, int timeout) {
    if (!is_allowed_method(request.method)) {
        throw LauncherError("http_method", L"Неподдерживаемый метод запроса.");
    }
    const std::wstring method = to_utf16(request.method);
    request_.reset(WinHttpOpenRequest(connection_.get(), method.c_str(), url.path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      url.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request_) {
        transport_failure("open_request");
    }
    // The wait for the response headers has its own budget; give it the same one, or it
    // stays at the system default (and some WinHTTP builds ignore the session value there).
    set_dword_option(request_.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
                     static_cast<DWORD>(timeout), "set_timeouts");
    // A redirect is never followed: a 3xx status reaches the caller unchanged.
    set_dword_option(request_.get(), WINHTTP_OPTION_REDIRECT_POLICY,
                     WINHTTP_OPTION_REDIRECT_POLICY_NEVER, "redirect_policy");
}

void WinHttpExchange::send_and_receive(const HttpRequest& request) {
    const std::wstring header_block = request_header_block(request.headers);
    if (request.body.size() > 0xffffffffull) {
        throw LauncherError("body_limit", L"Запрос превышает допустимый размер.");
    }
    const auto body_size = static_cast<DWORD>(request.body.size());
    void* body = request.body.empty() ? WINHTTP_NO_REQUEST_DATA
                                      : const_cast<std::uint8_t*>(request.body.data());
    if (!WinHttpSendRequest(
            request_.get(),
            header_block.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : header_block.c_str(),
            static_cast<DWORD>(header_block.size()), body, body_size, body_size, 0)) {
        transport_failure("send_request");
    }
    if (!WinHttpReceiveResponse(request_.get(), nullptr)) {
        transport_failure("receive_response");
    }
}

void WinHttpExchange::parse_content_length() {
    const auto length = headers_.find("content-length");
    if (length != headers_.end()) {
        content_length_ = parse_response_length(length->second);
    }
}

std::optional<std::string> WinHttpExchange::header(DWORD query) const {
    DWORD size = 0;
    if (WinHttpQueryHeaders(request_.get(), query, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX)) {
        header_read_failure(0);  // a size query cannot succeed without a buffer
    }
    const DWORD error = GetLastError();
    if (error == ERROR_WINHTTP_HEADER_NOT_FOUND) {
        return std::nullopt;
    }
    if (error != ERROR_INSUFFICIENT_BUFFER || size >= longest_header_bytes) {
        header_read_failure(error);
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD buffer_size = size;
    if (!WinHttpQueryHeaders(request_.get(), query, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(),
                             &buffer_size, WINHTTP_NO_HEADER_INDEX)) {
        header_read_failure(GetLastError());
    }
    return to_utf8(std::wstring_view(buffer.data(), buffer_size / sizeof(wchar_t)));
}

void WinHttpExchange::query_headers() {
    for (const ResponseHeader& header_entry : captured_headers) {
        if (std::optional<std::string> value = header(header_entry.query)) {
            headers_[header_entry.name] = std::move(*value);
        }
    }
}

DWORD WinHttpExchange::read(std::uint8_t* buffer, DWORD size) {
    DWORD read = 0;
    if (!WinHttpReadData(request_.get(), buffer, size, &read)) {
        transport_failure("read_body");
    }
    return read;
}

void WinHttpExchange::enrich(LauncherError& error, std::uint64_t bytes_received) const {
    error.elapsed_ms = elapsed_ms();
    if (error.http_status == 0 && has_status_) {
        error.http_status = status_;
    }
    if (error.bytes == 0) {
        error.bytes = bytes_received;
    }
    if (error.expected_bytes == 0) {
        error.expected_bytes = content_length_.value_or(0);
    }
    if (error.content_encoding == "none" && has_status_) {
        const std::string encoding = content_encoding();
        error.content_encoding = encoding.empty() ? "identity" : encoding;
    }
}

}  // namespace vorn
