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

}  // namespace vorn
