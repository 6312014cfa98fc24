// Large delta blobs downloaded once into the cache, under a per-blob lock file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "net/http.h"

namespace vorn {

inline constexpr std::size_t most_partial_files = 4096;

// Returns when `final_path` holds exactly the announced blob: a cache hit is checked and
// returned without any request; otherwise the blob is streamed into a partial file,
// verified and moved into place. A broken connection continues from the bytes received
// (within the attempts, and in a later run: the lock file notes the partial and its
// validator). A second launcher downloading the same blob fails fast
// ("delta_cache_locked"). A failure leaves nothing at `final_path`, and no partial file
// of its own but one a transient failure left to be continued. Throws LauncherError.
void download_blob_cached(Transport& transport, const HttpRequest& request,
                          const std::filesystem::path& final_path, std::uint64_t expected_size,
                          const std::string& expected_sha256, int attempts);

// The contract both the cache and the transport check.
bool is_valid_blob_request(const HttpRequest& request, std::uint64_t size,
                           const std::string& sha256);

}  // namespace vorn
