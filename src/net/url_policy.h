// Splitting server addresses, and the trust policy every address passes before a request.
#pragma once

#include <cstdint>
#include <string>

#include "core/url_trust.h"

namespace vorn {

struct ParsedUrl {
    std::wstring host;  // folded with CharLowerBuffW
    std::wstring path;  // "/" when absent, followed by the query when there is one
    std::uint16_t port = 0;
    bool secure = false;  // HTTPS
};

// Throws LauncherError (stage "url") for any address it does not accept: empty, CR/LF/NUL,
// a fragment, user information, a scheme other than HTTP(S).
ParsedUrl parse_url(const std::wstring& url);

// 127.0.0.1, localhost or ::1, whatever the scheme and port. Never throws.
bool is_loopback_url(const std::wstring& url) noexcept;

// Returns when the address may be requested. Loopback-only trust passes only loopback
// addresses ("qa_network_blocked"); otherwise only HTTPS on port 443 to one of the
// project's hosts ("untrusted_url").
void require_trusted_url(const std::wstring& url, UrlTrust trust);

}  // namespace vorn
