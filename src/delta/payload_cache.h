// Verified delta payloads in the client's state folder.
#pragma once

#include <filesystem>
#include <functional>

#include "delta/delta_fetch.h"
#include "delta/delta_manifest.h"
#include "model/manifest.h"

namespace vorn {

// What the delta apply asks for each payload: the path of its verified compressed blob.
using PayloadProvider = std::function<std::filesystem::path(const delta::Payload&)>;

// Returns the cache file of the payload once it holds the announced blob, downloading it
// when absent. A cached file that does not match stops the work ("delta_payload_cache")
// and is left in place for inspection. Throws LauncherError.
std::filesystem::path cached_payload(const DeltaSource& source, const Manifest& manifest,
                                     const delta::Payload& payload);

}  // namespace vorn
