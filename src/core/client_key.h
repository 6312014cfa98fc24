// The stable key of a client folder: one folder has one key however it is spelled.
#pragma once

#include <filesystem>
#include <string>

namespace vorn {

// SHA-256 of the folder's absolute, normalised path with one trailing backslash and
// A-Z folded, so C:\Games\Client, c:/games/client/ and C:\Games\Client\\ share a key.
std::string client_key(const std::filesystem::path& folder);

// True when `recorded` (a folder as a state file wrote it, UTF-8) names `folder`: the same
// text, or the same client key however either was spelled (a short name, another case).
// False for text that is no path. Never throws.
bool is_same_client_folder(const std::string& recorded, const std::filesystem::path& folder);

}  // namespace vorn
