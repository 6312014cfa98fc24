#include "updater/unproven_restore.h"

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "selfupdate/handover_protocol.h"
#include "updater/hand_over_endings.h"
#include "updater/launcher_replacement.h"

namespace vorn {

// Puts the previous build back in place of one whose proof was cut short, as a failed proof
// does: the backup must still be that build, the unproven one is marked failed.
UpdaterExit restore_unproven(const UpdaterClient& client, const UpdaterOptions& options,
                             const UpdaterHooks& hooks) {
    hooks.status(L"Новая версия лаунчера не подтвердила запуск. Возвращаем прежнюю версию…");
    const auto unproven = read_unproven_build(client.state_dir);
    try {
        if (!unproven || unproven->sha256 != options.sha256 || !is_plain_file(client.backup) ||
            sha256_file(client.backup) != unproven->previous) {
            throw LauncherError("self_update_staging",
                                L"Резервная копия прежней версии лаунчера не найдена.");
        }
        restore_launcher(client, unproven->previous);
    } catch (const LauncherError& error) {
        // Nothing to go back to: the build that stands there stays, and is not asked again.
        hooks.status(error.message);
        forget_unproven_build(client.state_dir);
        forget_run_holder(client.state_dir);
        start_launcher_quietly(client, hooks.status);
        return UpdaterExit::left_as_is;
    }
    forget_unproven_build(client.state_dir);
    mark_failed(client, options.sha256);
    start_launcher_quietly(client, hooks.status);
    return UpdaterExit::rolled_back;
}

}  // namespace vorn
