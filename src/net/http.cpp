#include "net/http.h"

#include <charconv>

#include "core/launcher_error.h"

namespace vorn {

HttpRequest make_request(const std::wstring& url, UrlTrust trust, std::uint64_t max_body) {
    HttpRequest request;
    request.url = url;
    request.headers = {
        {L"Accept-Encoding", L"identity"},
        {L"Cache-Control", L"no-cache"},
        {L"Pragma", L"no-cache"},
    };
    request.max_body = max_body;
    request.trust = trust;
    return request;
}

std::optional<std::uint64_t> parse_decimal_length(std::string_view text) noexcept {
    constexpr std::size_t longest = 20;
    if (text.empty() || text.size() > longest ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;  // past 64 bits
    }
    return value;
}

std::uint64_t parse_response_length(const std::string& text) {
    const std::optional<std::uint64_t> value = parse_decimal_length(text);
    if (value) {
        return *value;
    }
    const bool only_digits = !text.empty() && text.size() <= 20 &&
                             text.find_first_not_of("0123456789") == std::string::npos;
    throw LauncherError("content_length", only_digits
                                              ? L"Сервер прислал слишком большую длину ответа."
                                              : L"Сервер прислал неверную длину ответа.");
}

bool is_strong_etag(std::string_view text) {
    if (text.size() < 2 || text.size() > 126 || text.front() != '"' || text.back() != '"') {
        return false;
    }
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 33 || c > 126 || c == '"') {
            return false;
        }
    }
    return true;
}

}  // namespace vorn
