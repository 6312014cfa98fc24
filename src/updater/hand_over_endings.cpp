#include "updater/hand_over_endings.h"

#include <windows.h>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "selfupdate/handover_protocol.h"
#include "updater/new_launcher.h"

namespace vorn {

// The hand-over ended on purpose and blocks nothing: the next start may offer the build.
void end_hand_over(const UpdaterClient& client) {
    DeleteFileW(long_path(client.state_dir / blocked_digest_file_name).c_str());
    forget_run_holder(client.state_dir);
}

// The new build ran and failed: it is never offered again. When that cannot be recorded,
// the blocked digest stays, with no holder, so that it keeps counting: the old launcher
// started next must not hand over to the same build again and again.
void mark_failed(const UpdaterClient& client, const std::string& sha256) {
    try {
        ensure_service_directory(client.state_dir);
        write_text_file_atomic(client.state_dir / failed_digest_file_name, sha256 + "\r\n");
        DeleteFileW(long_path(client.state_dir / blocked_digest_file_name).c_str());
    } catch (const LauncherError&) {
        // The blocked digest says the same for as long as it stands.
    }
    forget_run_holder(client.state_dir);
}

// The unproven record goes once the previous build stands at the launcher's path again.
void put_back_if_restored(const UpdaterClient& client,
                          const std::optional<std::string>& old_sha256) {
    try {
        if (!old_sha256 || sha256_file(client.launcher) == *old_sha256) {
            forget_unproven_build(client.state_dir);
        }
    } catch (const LauncherError&) {
        // unreadable: the record stays, and the next start tries the restore again
    }
}

// Starts the launcher that now stands at its path, without a token: nothing waits for it.
void start_launcher_quietly(const UpdaterClient& client, const StatusSink& status) {
    try {
        start_launcher(client, std::nullopt);
    } catch (const LauncherError& error) {
        status(error.message);
    }
}

// A build that never ran is not judged: its digest stays blocked while the launcher started
// here runs, and the player's next start offers it again.
void hold_until_next_start(const UpdaterClient& client, const StatusSink& status) {
    try {
        const UniqueKernelHandle launcher = start_launcher(client, std::nullopt);
        record_run_holder(client.state_dir, launcher.get());
    } catch (const LauncherError& error) {
        status(error.message);
        end_hand_over(client);
    }
}

}  // namespace vorn
