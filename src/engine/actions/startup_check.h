// The startup action: the client's state from the receipt and one cheap request.
#pragma once

#include "model/ui_snapshot.h"

namespace vorn {

struct UpdateEngine;

// Decides from the receipt and one cheap request, never scanning game files. Runs under
// the engine lock (the caller holds it). Throws LauncherError.
UiSnapshot startup_check(UpdateEngine& engine);

}  // namespace vorn
