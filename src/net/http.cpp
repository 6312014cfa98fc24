#include "net/http.h"

#include <limits>

#include "app/launcher_config.h"
#include "core/launcher_error.h"

namespace vorn {

HttpRequest make_request(const std::wstring& url, const LauncherConfig& config,
                         std::uint64_t max_body) {
    HttpRequest request;
    request.url = url;
    request.headers = {
        {L"Accept-Encoding", L"identity"},
        {L"Cache-Control", L"no-cache"},
        {L"Pragma", L"no-cache"},
    };
    request.max_body = max_body;
    request.local_test = config.local_test;
    return request;
}

std::uint64_t parse_response_length(const std::string& text) {
    constexpr std::size_t longest = 20;
    if (text.empty() || text.size() > longest ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        throw LauncherError("content_length", L"Сервер прислал неверную длину ответа.");
    }
    std::uint64_t value = 0;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (const char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            throw LauncherError("content_length", L"Сервер прислал слишком большую длину ответа.");
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace vorn
