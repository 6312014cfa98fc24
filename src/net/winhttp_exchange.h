// The steps every WinHTTP call shares: session, connection, request, send, status and
// the five response headers. The body is read by the caller.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/launcher_error.h"
#include "net/http.h"
#include "net/url_policy.h"
#include "net/winhttp_handle.h"

namespace vorn {

inline constexpr DWORD network_read_size = 65536;

class WinHttpExchange {
  public:
    // Starts the clock; nothing is opened yet.
    WinHttpExchange();

    // Opens the handles, sends the request and receives the status and headers.
    // Throws LauncherError with the stage of the step that failed.
    void send(const HttpRequest& request);

    // Parses a present "content-length" header (LauncherError "content_length").
    void parse_content_length();

    // One WinHttpReadData into `buffer`; 0 at the end of the body.
    DWORD read(std::uint8_t* buffer, DWORD size);

    std::uint64_t elapsed_ms() const;
    std::uint32_t status() const { return status_; }
    const std::map<std::string, std::string>& headers() const { return headers_; }
    const std::optional<std::uint64_t>& content_length() const { return content_length_; }
    // Any header of the answer by its WINHTTP_QUERY_ code; none when the server sent none.
    // Throws LauncherError "http_headers".
    std::optional<std::string> header(DWORD query) const;
    // The lower-cased "content-encoding" header, "" when absent.
    std::string content_encoding() const;

    // Completes an error with what this exchange knows: elapsed time, status, bytes
    // received, expected bytes and content encoding, where the error has none.
    void enrich(LauncherError& error, std::uint64_t bytes_received) const;

  private:
    void open_connection(const HttpRequest& request, const ParsedUrl& url, int timeout);
    void open_request(const HttpRequest& request, const ParsedUrl& url, int timeout);
    void send_and_receive(const HttpRequest& request);
    void query_headers();

    // Declared in this order so they close request, connection, session.
    UniqueInternet session_;
    UniqueInternet connection_;
    UniqueInternet request_;
    ULONGLONG started_;
    bool has_status_ = false;
    std::uint32_t status_ = 0;
    std::map<std::string, std::string> headers_;
    std::optional<std::uint64_t> content_length_;
};

// The headers of a request as one CRLF-separated block; refuses CR, LF or NUL in names
// and CR or LF in values (stage "http_headers").
std::wstring request_header_block(const std::map<std::wstring, std::wstring>& headers);

// A present, non-empty encoding other than identity (ASCII case-insensitive).
bool is_foreign_encoding(const std::string& lowered_encoding);

}  // namespace vorn
