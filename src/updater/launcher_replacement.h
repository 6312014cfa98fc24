// Replacing the launcher executable so that its path always holds a complete launcher:
// the backup is a finished copy before anything moves, and each change of the launcher's
// path is one atomic move (the new build in, or the backup back).
#pragma once

#include <string>

#include "updater/client_location.h"

namespace vorn {

// Copies the launcher to its backup (written atomically, then checked) and returns the
// old launcher's digest. Throws LauncherError ("self_update_staging").
std::string back_up_launcher(const UpdaterClient& client);

// The staged build must have `sha256`; it is moved over the launcher (retried for a while,
// like the restore) and checked there.
// Throws LauncherError ("self_update_hash" before the move, "self_update_staging" for the
// move, "self_update_hash" when the file at the launcher's path is not the new build).
void install_staged_launcher(const UpdaterClient& client, const std::string& sha256);

// Puts the backup (digest `old_sha256`) back at the launcher's path unless the launcher
// already is that build. Retries for a while: a launcher just stopped may still hold its
// file. Throws LauncherError ("self_update_staging") when it cannot.
void restore_launcher(const UpdaterClient& client, const std::string& old_sha256);

// Deletes temporaries a killed earlier run left for the backup. Errors are ignored.
void remove_backup_temporaries(const UpdaterClient& client);

}  // namespace vorn
