// The check action: every client file verified against the manifest, nothing installed.
#pragma once

#include "model/ui_snapshot.h"

namespace vorn {

struct UpdateEngine;

// Runs under the engine lock (the caller holds it). A clean client gets a new receipt.
// Throws LauncherError.
UiSnapshot run_check_action(UpdateEngine& engine);

}  // namespace vorn
