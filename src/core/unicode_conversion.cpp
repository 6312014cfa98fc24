#include "core/unicode_conversion.h"

#include <windows.h>

#include <limits>

namespace vorn {
namespace {

constexpr UINT utf8_code_page = 65001;

// `call(in, length, out, size)` is one of the two Win32 conversions: measuring with no
// output, then converting into the measured size.
template <typename Out, typename In, typename Call>
Converted<Out> convert(In in, Call call) {
    Converted<Out> result;
    if (in.empty()) {
        return result;
    }
    if (in.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        result.fault = UnicodeFault::too_long;
        return result;
    }
    const int length = static_cast<int>(in.size());
    const int size = call(in.data(), length, nullptr, 0);
    if (size < 1) {
        result.win32 = GetLastError();
        result.fault = UnicodeFault::invalid;
        return result;
    }
    result.text.assign(static_cast<std::size_t>(size), {});
    if (call(in.data(), length, result.text.data(), size) != size) {
        result.win32 = GetLastError();
        result.fault = UnicodeFault::short_write;
        result.text.clear();
    }
    return result;
}

}  // namespace

Converted<std::string> convert_to_utf8(std::wstring_view wide) {
    return convert<std::string>(wide, [](const wchar_t* in, int length, char* out, int size) {
        return WideCharToMultiByte(utf8_code_page, WC_ERR_INVALID_CHARS, in, length, out, size,
                                   nullptr, nullptr);
    });
}

Converted<std::wstring> convert_to_utf16(std::string_view utf8) {
    return convert<std::wstring>(utf8, [](const char* in, int length, wchar_t* out, int size) {
        return MultiByteToWideChar(utf8_code_page, MB_ERR_INVALID_CHARS, in, length, out, size);
    });
}

}  // namespace vorn
