#include "core/client_key.h"

#include <cstdint>
#include <vector>

#include "core/file_system.h"
#include "core/sha256.h"
#include "core/text.h"

namespace vorn {

std::string client_key(const std::filesystem::path& folder) {
    // One folder has one key however it was named: a short 8.3 name or another case of a
    // component reads as the file system stores it.
    std::wstring text = backslashes(stored_spelling(absolute_normal(folder).native()));
    // A drive root keeps its backslash; every other folder ends with exactly one.
    while (text.size() > 3 && text.back() == L'\\') {
        text.pop_back();
    }
    text.push_back(L'\\');
    text = lower_ascii(std::move(text));

    std::vector<std::uint8_t> utf16le;
    utf16le.reserve(text.size() * 2);
    for (const wchar_t unit : text) {
        utf16le.push_back(static_cast<std::uint8_t>(unit & 0xff));
        utf16le.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xff));
    }
    return sha256_bytes(utf16le);
}

bool is_same_client_folder(const std::string& recorded, const std::filesystem::path& folder) {
    try {
        const std::wstring text = to_utf16(recorded);
        return text == folder.native() || (!text.empty() && client_key(text) == client_key(folder));
    } catch (const std::exception&) {
        return false;  // not even a path: never this folder
    }
}

}  // namespace vorn
