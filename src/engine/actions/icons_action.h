// The Icons action: the guild icons refreshed on their own, outside an update.
#pragma once

#include "model/ui_snapshot.h"

namespace vorn {

struct UpdateEngine;

// Runs under the engine lock (the caller holds it): the icon update, then the client's
// clean state restored as it was. Throws LauncherError.
UiSnapshot run_icons_action(UpdateEngine& engine);

}  // namespace vorn
