// The update action: recovery, verification, downloads, installation, proof, receipt.
#pragma once

#include "model/ui_snapshot.h"

namespace vorn {

struct UpdateEngine;

// Runs under the engine lock (the caller holds it). Throws LauncherError.
UiSnapshot run_update_action(UpdateEngine& engine);

}  // namespace vorn
