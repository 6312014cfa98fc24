// The digest of one client file, refused unless it is a plain file; and a copy of one that
// hashes it as it copies.
#pragma once

#include <filesystem>
#include <string>

#include "core/sha256.h"

namespace vorn {

// Refuses anything but a plain file ("file_safety"), then hashes it.
std::string hash_client_file(const std::filesystem::path& path, const HashProgress& progress = {});

// Refuses anything but a plain file ("file_safety"), then copies it to `target`, created new,
// hashing it as it is copied; a failed write is "backup_write". Returns the digest.
std::string copy_client_file(const std::filesystem::path& path, const std::filesystem::path& target,
                             const HashProgress& progress);

}  // namespace vorn
