#include <windows.h>

#include <optional>
#include <string_view>

#include "archive/pck_format.h"
#include "archive/pck_index.h"

namespace vorn {
namespace {

// The game's code pages, in the order a name is tried with.
constexpr UINT name_code_pages[] = {936, 54936, 1251};

std::optional<std::wstring> decode_strictly(const std::string& raw, UINT code_page) {
    const int length = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, raw.data(),
                                           static_cast<int>(raw.size()), nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, raw.data(),
                            static_cast<int>(raw.size()), wide.data(), length) != length) {
        return std::nullopt;
    }
    return wide;
}

bool is_refused_character(wchar_t c) {
    return c < 0x20 || c == 0x7F ||
           std::wstring_view(L"\"*:<>?|").find(c) != std::wstring_view::npos;
}

void check_components(const std::wstring& name) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find(L'\\', start);
        const std::wstring_view component =
            std::wstring_view(name).substr(start, end == std::wstring::npos ? end : end - start);
        if (component.empty() || component == L"." || component == L".." ||
            component.back() == L' ' || component.back() == L'.') {
            fail_archive("pck_rebase_name");
        }
        if (end == std::wstring::npos) {
            return;
        }
        start = end + 1;
    }
}

}  // namespace

std::wstring pck_name_identity(const std::string& raw_name) {
    if (raw_name.empty() || raw_name.size() >= pck_name_field) {
        fail_archive("pck_rebase_name");
    }
    std::optional<std::wstring> decoded;
    for (const UINT code_page : name_code_pages) {
        decoded = decode_strictly(raw_name, code_page);
        if (decoded) {
            break;
        }
    }
    if (!decoded) {
        fail_archive("pck_rebase_name");
    }
    std::wstring name = *decoded;
    for (wchar_t& c : name) {
        if (c == L'/') {
            c = L'\\';
        }
        if (is_refused_character(c)) {
            fail_archive("pck_rebase_name");
        }
    }
    check_components(name);
    CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
    return name;
}

}  // namespace vorn
