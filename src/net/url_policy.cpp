#include "net/url_policy.h"

#include <windows.h>
#include <winhttp.h>

#include <array>

#include "core/launcher_error.h"
#include "core/text.h"
#include "deployment_config.h"

namespace vorn {
namespace {

constexpr std::uint16_t https_port = 443;

const std::array<std::wstring, 5>& trusted_hosts() {
    // Built once, on first use; thread-safe.
    static const std::array<std::wstring, 5> hosts = {
        lower_wide(deployment::web_host),    lower_wide(deployment::www_host),
        lower_wide(deployment::update_host), lower_wide(deployment::update_host2),
        lower_wide(deployment::web_host2),
    };
    return hosts;
}

bool is_trusted_host(const std::wstring& host) {
    for (const std::wstring& trusted : trusted_hosts()) {
        if (host == trusted) {
            return true;
        }
    }
    return false;
}

}  // namespace

ParsedUrl parse_url(const std::wstring& url) {
    if (url.empty() || url.find_first_of(std::wstring(L"\r\n\0#", 4)) != std::wstring::npos) {
        throw LauncherError("url", L"Недопустимый адрес сервера.");
    }
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUserNameLength = static_cast<DWORD>(-1);
    parts.dwPasswordLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        parts.dwUserNameLength > 0 || parts.dwPasswordLength > 0) {
        throw LauncherError("url", L"Не удалось разобрать адрес сервера.", GetLastError());
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        throw LauncherError("url", L"Разрешены только HTTP(S) адреса.");
    }

    ParsedUrl parsed;
    parsed.host = lower_wide(std::wstring(parts.lpszHostName, parts.dwHostNameLength));
    parsed.port = parts.nPort;
    parsed.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    parsed.path = parts.dwUrlPathLength > 0 ? std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength)
                                            : std::wstring(L"/");
    if (parts.dwExtraInfoLength > 0) {
        parsed.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    return parsed;
}

bool is_loopback_url(const std::wstring& url) noexcept {
    try {
        const std::wstring host = parse_url(url).host;
        return host == L"127.0.0.1" || host == L"localhost" || host == L"[::1]" || host == L"::1";
    } catch (...) {
        // Anything that does not parse is simply not a loopback address.
        return false;
    }
}

void require_trusted_url(const std::wstring& url, UrlTrust trust) {
    const ParsedUrl parsed = parse_url(url);
    if (trust == UrlTrust::loopback_only) {
        if (!is_loopback_url(url)) {
            throw LauncherError("qa_network_blocked",
                                L"Локальная проверка запрещает обращения к внешним серверам.");
        }
        return;
    }
    if (!parsed.secure || parsed.port != https_port || !is_trusted_host(parsed.host)) {
        throw LauncherError("untrusted_url",
                            L"Адрес обновления не принадлежит разрешённому HTTPS-серверу Vornell.");
    }
}

}  // namespace vorn
