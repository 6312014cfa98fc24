// The updater's --restore: a new build whose proof was cut short (a kill, a logoff) asks at
// its next start to have the previous build put back.
#pragma once

#include "updater/client_location.h"
#include "updater/updater_hooks.h"
#include "updater/updater_options.h"

namespace vorn {

// Puts the backup back when it is still the recorded previous build, marks the unproven
// build failed and starts the launcher; with nothing to go back to, leaves the launcher as it
// is and drops the record, so that it is not asked again.
UpdaterExit restore_unproven(const UpdaterClient& client, const UpdaterOptions& options,
                             const UpdaterHooks& hooks);

}  // namespace vorn
