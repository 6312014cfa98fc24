// Hashing client files, with the progress texts the window shows meanwhile.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/sha256.h"

namespace vorn {

struct UpdateEngine;

// Refuses anything but a plain file ("file_safety"), then hashes it.
std::string hash_client_file(const std::filesystem::path& path, const HashProgress& progress = {});

// Hashes while publishing "Файл: " + display under `title`, in the installing phase when
// an installation is running, else the checking phase.
std::string hash_file_with_view(UpdateEngine& engine, const std::filesystem::path& path,
                                const std::wstring& display, const std::wstring& title);

// "SHA-256: 1.5 / 3.0 МБ": the unit follows the total.
std::wstring hash_progress_text(std::uint64_t done, std::uint64_t total);

// The size of a file; a failure is "local_io".
std::uint64_t client_file_size(const std::filesystem::path& path);

}  // namespace vorn
