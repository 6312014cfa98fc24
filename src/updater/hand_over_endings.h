// How an updater run leaves the hand-over's state files, whatever its end: the blocked
// digest, its holder, the failed digest and the record of an unproven build.
#pragma once

#include <optional>
#include <string>

#include "updater/client_location.h"
#include "updater/updater_hooks.h"

namespace vorn {

// The hand-over ended on purpose and blocks nothing: the next start may offer the build.
void end_hand_over(const UpdaterClient& client);

// The new build ran and failed: it is never offered again. When that cannot be recorded,
// the blocked digest stays, with no holder, so that it keeps counting.
void mark_failed(const UpdaterClient& client, const std::string& sha256);

// Forgets the unproven record once the previous build stands at the launcher's path.
void put_back_if_restored(const UpdaterClient& client,
                          const std::optional<std::string>& old_sha256);

// Starts the launcher at its path without a token; a failure only goes to the status.
void start_launcher_quietly(const UpdaterClient& client, const StatusSink& status);

// Starts the launcher and makes it the holder of the blocked digest: a build that never ran
// is offered again once that launcher is gone.
void hold_until_next_start(const UpdaterClient& client, const StatusSink& status);

}  // namespace vorn
