// The strict UTF-8 <-> UTF-16 conversions of Win32, without throwing: text.h turns a fault
// into its error, and LauncherError, whose what() must never fail, falls back on a fixed text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

// Why a conversion gave no text.
enum class UnicodeFault : std::uint8_t {
    none,
    too_long,     // more units than a Win32 call takes
    invalid,      // an invalid sequence, refused rather than replaced
    short_write,  // the conversion wrote fewer units than it measured
};

template <typename Text>
struct Converted {
    Text text;  // empty unless the fault is none
    UnicodeFault fault = UnicodeFault::none;
    std::uint32_t win32 = 0;  // GetLastError() of the failed call
};

Converted<std::string> convert_to_utf8(std::wstring_view wide);
Converted<std::wstring> convert_to_utf16(std::string_view utf8);

}  // namespace vorn
