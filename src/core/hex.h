// Lower-case hexadecimal text of bytes, and the digest text check.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace vorn {

// High nibble first, digits "0123456789abcdef".
std::string to_hex(ByteView bytes);

// The bytes of lower-case hex text of even length (callers check the text first).
Bytes from_hex(std::string_view text);

// The same into a fixed-size array: exactly 2 * N digits (callers check the text first).
template <std::size_t N>
std::array<std::uint8_t, N> hex_array(std::string_view text) {
    const Bytes bytes = from_hex(text);
    std::array<std::uint8_t, N> result{};
    std::copy_n(bytes.begin(), std::min(N, bytes.size()), result.begin());
    return result;
}

// Only the digits 0-9 and a-f, upper case refused; an empty text passes.
bool is_lower_hex(std::string_view text) noexcept;
bool is_lower_hex(std::wstring_view text) noexcept;

// Exactly 64 characters of 0-9 and a-f (upper case is not a valid digest).
bool is_sha256_hex(std::string_view text);

}  // namespace vorn
