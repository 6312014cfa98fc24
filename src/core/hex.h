// Lower-case hexadecimal text of bytes, and the digest text check.
#pragma once

#include <string>
#include <string_view>

#include "core/bytes.h"

namespace vorn {

// High nibble first, digits "0123456789abcdef".
std::string to_hex(ByteView bytes);

// The bytes of lower-case hex text of even length (callers check the text first).
Bytes from_hex(std::string_view text);

// Only the digits 0-9 and a-f, upper case refused; an empty text passes.
bool is_lower_hex(std::string_view text) noexcept;
bool is_lower_hex(std::wstring_view text) noexcept;

// Exactly 64 characters of 0-9 and a-f (upper case is not a valid digest).
bool is_sha256_hex(std::string_view text);

}  // namespace vorn
