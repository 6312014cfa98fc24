// The update manifest from the server: the compressed copy when it is proven current,
// else the plain document.
#pragma once

#include "model/manifest.h"

namespace vorn {

struct UpdateEngine;

// Fetches (compressed first when the address allows), validates and stores the manifest
// in the engine. Throws LauncherError with the event "manifest_failed".
const Manifest& fetch_manifest(UpdateEngine& engine);

}  // namespace vorn
