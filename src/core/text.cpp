#include "core/text.h"

#include <windows.h>

#include <algorithm>

#include "core/launcher_error.h"
#include "core/unicode_conversion.h"

namespace vorn {
namespace {

// The conversion's text, or its fault as the error every caller of text.h receives.
template <typename Text>
Text checked(Converted<Text> converted, const wchar_t* invalid_message) {
    if (converted.fault == UnicodeFault::too_long) {
        throw LauncherError("unicode", L"Некорректный путь или текст Unicode.");
    }
    if (converted.fault == UnicodeFault::invalid) {
        throw LauncherError("unicode", invalid_message, converted.win32);
    }
    if (converted.fault == UnicodeFault::short_write) {
        throw LauncherError("unicode", L"Ошибка преобразования Unicode.", converted.win32);
    }
    return std::move(converted.text);
}

}  // namespace

std::string to_utf8(std::wstring_view wide) {
    return checked(convert_to_utf8(wide), L"Некорректный путь или текст Unicode.");
}

std::wstring to_utf16(std::string_view utf8) {
    return checked(convert_to_utf16(utf8), L"Некорректное имя файла в описании обновления.");
}

std::wstring lower_wide(std::wstring text) {
    // CharLowerBuffW takes a DWORD count; texts here are far below that.
    if (!text.empty()) {
        CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    }
    return text;
}

std::string lower_ascii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::wstring lower_ascii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

namespace {

template <typename Text>
Text turn_separators(Text text, typename Text::value_type from, typename Text::value_type to) {
    std::replace(text.begin(), text.end(), from, to);
    return text;
}

}  // namespace

std::string forward_slashes(std::string text) {
    return turn_separators(std::move(text), '\\', '/');
}

std::wstring forward_slashes(std::wstring text) {
    return turn_separators(std::move(text), L'\\', L'/');
}

std::wstring backslashes(std::wstring text) {
    return turn_separators(std::move(text), L'/', L'\\');
}

}  // namespace vorn
