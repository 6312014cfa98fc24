// The manifest an action works from.
#pragma once

#include "model/manifest.h"

namespace vorn {

struct UpdateEngine;

// Fetches the manifest and keeps it as the action's, so an error from then on carries its
// file count. Throws LauncherError (event "manifest_failed").
const Manifest& load_manifest(UpdateEngine& engine);

}  // namespace vorn
