// Strict UTF-8 <-> UTF-16 conversion, the two case foldings and separator turning.
#pragma once

#include <string>
#include <string_view>

namespace vorn {

// Invalid sequences are refused with a LauncherError (stage "unicode"), never replaced.
std::string to_utf8(std::wstring_view wide);
std::wstring to_utf16(std::string_view utf8);

// CharLowerBuffW over the whole text (locale-aware, used for names and hosts).
std::wstring lower_wide(std::wstring text);
// Only A-Z become a-z.
std::string lower_ascii(std::string text);
std::wstring lower_ascii(std::wstring text);

// Path separators turned one way: "\" into "/", or "/" into "\".
std::string forward_slashes(std::string text);
std::wstring forward_slashes(std::wstring text);
std::wstring backslashes(std::wstring text);

}  // namespace vorn
