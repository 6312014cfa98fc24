// The update manifest from the server: the compressed copy when it is proven current,
// else the plain document.
#pragma once

#include "model/manifest.h"

namespace vorn {

struct ClientPlace;
struct EngineServices;
struct EngineView;

// Fetches (compressed first when the address allows) and validates the manifest. Throws
// LauncherError with the event "manifest_failed".
Manifest fetch_manifest(const ClientPlace& client, const EngineServices& services,
                        EngineView& view);

}  // namespace vorn
