#include "core/hex.h"

#include <algorithm>

namespace vorn {

std::string to_hex(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0f]);
    }
    return text;
}

namespace {

template <typename Text>
bool only_lower_hex(Text text) noexcept {
    return std::all_of(text.begin(), text.end(),
                       [](auto c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

bool is_lower_hex(std::string_view text) noexcept {
    return only_lower_hex(text);
}

bool is_lower_hex(std::wstring_view text) noexcept {
    return only_lower_hex(text);
}

bool is_sha256_hex(std::string_view text) {
    return text.size() == 64 && is_lower_hex(text);
}

Bytes from_hex(std::string_view text) {
    const auto nibble = [](char c) {
        return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    };
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    }
    return bytes;
}

}  // namespace vorn
