// Hashing client files, with the progress texts the window shows meanwhile.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/sha256.h"
#include "model/progress.h"

namespace vorn {

struct EngineView;
class OrderedHashing;

// Hashes while publishing "Файл: " + display under `title`, in the installing phase when
// an installation is running, else the checking phase.
std::string hash_file_with_view(EngineView& view, const std::filesystem::path& path,
                                const std::wstring& display, const std::wstring& title);

// hash_file_with_view under checksum_title, with the manifest path as display.
std::string checksum_of(EngineView& view, const std::filesystem::path& path,
                        const std::string& manifest_path);

// checksum_of's views while `path` is copied to `target` by copy_client_file: the digest of
// both.
std::string copy_with_checksum(EngineView& view, const std::filesystem::path& path,
                               const std::filesystem::path& target,
                               const std::string& manifest_path);

// checksum_of for file `index` of `hashing`: the same views, while a worker reads the file.
std::string checksum_taken(EngineView& view, OrderedHashing& hashing, std::size_t index,
                           const std::string& manifest_path);

// "SHA-256: 1.5 / 3.0 МБ": the unit follows the total.
std::wstring hash_progress_text(std::uint64_t done, std::uint64_t total);

}  // namespace vorn
