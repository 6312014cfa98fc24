// The digest of one client file, refused unless it is a plain file.
#pragma once

#include <filesystem>
#include <string>

#include "core/sha256.h"

namespace vorn {

// Refuses anything but a plain file ("file_safety"), then hashes it.
std::string hash_client_file(const std::filesystem::path& path, const HashProgress& progress = {});

}  // namespace vorn
