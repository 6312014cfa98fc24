#include "core/text.h"

#include <windows.h>

#include <algorithm>
#include <limits>

#include "core/launcher_error.h"

namespace vorn {
namespace {

constexpr UINT utf8_code_page = 65001;

int checked_length(std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw LauncherError("unicode", L"Некорректный путь или текст Unicode.");
    }
    return static_cast<int>(size);
}

}  // namespace

std::string to_utf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int length = checked_length(wide.size());
    const int size = WideCharToMultiByte(utf8_code_page, WC_ERR_INVALID_CHARS, wide.data(), length,
                                         nullptr, 0, nullptr, nullptr);
    if (size < 1) {
        throw LauncherError("unicode", L"Некорректный путь или текст Unicode.", GetLastError());
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(utf8_code_page, WC_ERR_INVALID_CHARS, wide.data(), length, out.data(),
                            size, nullptr, nullptr) != size) {
        throw LauncherError("unicode", L"Ошибка преобразования Unicode.", GetLastError());
    }
    return out;
}

std::wstring to_utf16(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int length = checked_length(utf8.size());
    const int size =
        MultiByteToWideChar(utf8_code_page, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (size < 1) {
        throw LauncherError("unicode", L"Некорректное имя файла в описании обновления.",
                            GetLastError());
    }
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(utf8_code_page, MB_ERR_INVALID_CHARS, utf8.data(), length, out.data(),
                            size) != size) {
        throw LauncherError("unicode", L"Ошибка преобразования Unicode.", GetLastError());
    }
    return out;
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
