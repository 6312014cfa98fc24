// SHA-256 through BCrypt: over memory, over a string, over a file with progress, and over a
// file as it is copied.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/unique_handle.h"

namespace vorn {

inline void close_algorithm_provider(BCRYPT_ALG_HANDLE provider) noexcept {
    BCryptCloseAlgorithmProvider(provider, 0);
}

using UniqueBcryptAlgorithm = UniqueHandle<ClosedBy<BCRYPT_ALG_HANDLE, close_algorithm_provider>>;
using UniqueBcryptHash = UniqueHandle<ClosedBy<BCRYPT_HASH_HANDLE, BCryptDestroyHash>>;

// One hashing context. Throws LauncherError (stage "crypto") on any BCrypt failure.
class Sha256 {
  public:
    Sha256();
    Sha256(Sha256&&) noexcept = default;
    // No assignment: replacing a live hash would free its object buffer before the
    // hash handle that uses it is destroyed.
    Sha256& operator=(Sha256&&) = delete;

    void update(const void* data, std::size_t size);
    void update(ByteView bytes) { update(bytes.data(), bytes.size()); }
    // Ends the context: 64 lower-case hex characters.
    std::string finish();

  private:
    // Declared in this order so the hash is destroyed before its object buffer. The
    // provider is shared by the process and outlives every hash.
    std::vector<std::uint8_t> object_;
    UniqueBcryptHash hash_;
};

std::string sha256_bytes(ByteView bytes);
std::string sha256_string(std::string_view text);

// How often progress is reported while a file is read.
inline constexpr std::uint64_t hash_progress_interval_ms = 200;

// (done bytes, total bytes); called with (0, total) first, at most every 200 ms while
// reading, and once more at the end.
using HashProgress = std::function<void(std::uint64_t, std::uint64_t)>;

// Hashes a plain file in 1 MiB reads; refuses links and folders (stage "unsafe_path").
std::string sha256_file(const std::filesystem::path& path, const HashProgress& progress = {});

// Reads an open file from where it stands to its end in io_block_size reads, each hashed
// into `hash` and, when `copy_to` is given, written to it. After a read, calls `progress`
// (may be empty) with the bytes done once 200 ms have passed since the start or its last
// call. Returns the bytes read. A failed read is "read_file", a failed write "write_file",
// with its Win32 code.
std::uint64_t hash_open_file(HANDLE file, Sha256& hash,
                             const std::function<void(std::uint64_t done)>& progress,
                             HANDLE copy_to = nullptr);

// Copies a plain file to `target`, created new and flushed, hashing the bytes as they are
// copied; the source is open without write sharing meanwhile, so the digest is of both
// files. Returns the digest. On failure a target it created is deleted ("unsafe_path",
// "read_file", "write_file").
std::string copy_file_hashed(const std::filesystem::path& source,
                             const std::filesystem::path& target,
                             const HashProgress& progress = {});

}  // namespace vorn
