#include "updater/updater_run.h"

#include <windows.h>

#include <optional>

#include "core/file_system.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/unique_handle.h"
#include "selfupdate/handover_protocol.h"
#include "updater/client_location.h"
#include "updater/hand_over_endings.h"
#include "updater/launcher_replacement.h"
#include "updater/new_launcher.h"
#include "updater/unproven_restore.h"

namespace vorn {
namespace {

constexpr DWORD launcher_exit_timeout_ms = 60000;

class SessionHold {
  public:
    explicit SessionHold(const UpdaterHooks& hooks) : hooks_(hooks) {
        if (hooks_.hold_session) {
            hooks_.hold_session(true);
        }
    }
    ~SessionHold() {
        if (hooks_.hold_session) {
            hooks_.hold_session(false);
        }
    }
    SessionHold(const SessionHold&) = delete;
    SessionHold& operator=(const SessionHold&) = delete;

  private:
    const UpdaterHooks& hooks_;
};

// Opened before the signal, so the process id cannot name another process by the time
// the wait starts.
UniqueKernelHandle open_launcher_process(DWORD process_id) {
    UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
    if (!process) {
        throw LauncherError("self_update_spawn", L"Лаунчер, запустивший обновление, не найден.",
                            GetLastError());
    }
    return process;
}

void signal_ready(const UpdaterOptions& options) {
    const std::wstring name = ready_event_name(options.launcher_process_id, options.ready_id);
    const UniqueKernelHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    if (!event || !SetEvent(event.get())) {
        throw LauncherError("self_update_spawn", L"Лаунчер не ждёт этого обновления.",
                            GetLastError());
    }
}

// How far the new build got; decides what a failure leaves behind.
enum class Progress { nothing_moved, moved, started };

// Replaces the launcher and waits for the new build's health file. Throws LauncherError.
void install_new_build(const UpdaterClient& client, const UpdaterOptions& options,
                       const std::string& old_sha256, Progress& progress,
                       const UpdaterHooks& hooks) {
    hooks.status(L"Устанавливаем новую версию лаунчера…");
    // Before the move: a proof cut short by a kill or a logoff is undone at the next start.
    record_unproven_build(client.state_dir, {options.sha256, old_sha256});
    progress = Progress::moved;  // from the move on, the old build must come back on failure
    install_staged_launcher(client, options.sha256);
    hooks.status(L"Запускаем новую версию и ждём её готовности…");
    const HealthRecord expected{options.sha256, random_hex(16), options.build};
    // Until the new build proves itself, a logoff would leave it unproven: hold the session.
    const SessionHold hold(hooks);
    const UniqueKernelHandle launcher = start_launcher(client, expected.token);
    progress = Progress::started;
    if (!wait_for_health(client, launcher.get(), expected, health_timeout_ms)) {
        stop_launcher(launcher.get());
        throw LauncherError("self_update_version", L"Новая версия лаунчера не подтвердила запуск.",
                            ERROR_TIMEOUT);
    }
}

UpdaterExit roll_back(const UpdaterClient& client, const UpdaterOptions& options,
                      const std::optional<std::string>& old_sha256, Progress progress,
                      const LauncherError& failure, const UpdaterHooks& hooks) {
    hooks.status(failure.message + L" Возвращаем прежнюю версию…");
    if (progress != Progress::nothing_moved && old_sha256) {
        try {
            restore_launcher(client, *old_sha256);
        } catch (const LauncherError& error) {
            hooks.status(error.message);
        }
    }
    put_back_if_restored(client, old_sha256);
    if (progress != Progress::started) {
        hold_until_next_start(client, hooks.status);
        return UpdaterExit::rolled_back;
    }
    mark_failed(client, options.sha256);
    start_launcher_quietly(client, hooks.status);
    return UpdaterExit::rolled_back;
}

UpdaterExit replace_launcher(const UpdaterClient& client, const UpdaterOptions& options,
                             const UpdaterHooks& hooks) {
    std::optional<std::string> old_sha256;
    Progress progress = Progress::nothing_moved;
    try {
        hooks.status(L"Сохраняем резервную копию лаунчера…");
        remove_backup_temporaries(client);
        old_sha256 = back_up_launcher(client);
        install_new_build(client, options, *old_sha256, progress, hooks);
    } catch (const LauncherError& failure) {
        return roll_back(client, options, old_sha256, progress, failure, hooks);
    }
    forget_unproven_build(client.state_dir);  // proven: nothing to undo any more
    forget_run_holder(client.state_dir);
    hooks.status(L"Лаунчер обновлён.");
    return UpdaterExit::replaced;
}

}  // namespace

UpdaterExit run_updater(const std::vector<std::wstring>& args,
                        const std::filesystem::path& own_path, const UpdaterHooks& hooks) {
    UpdaterOptions options;
    UpdaterClient client;
    UniqueKernelHandle launcher;
    try {
        options = parse_updater_options(args);
        client = locate_client(options, own_path);
        launcher = open_launcher_process(options.launcher_process_id);
        // Before the signal: from the launcher's end on, this run holds the blocked digest.
        record_run_holder(client.state_dir, GetCurrentProcess());
        signal_ready(options);
    } catch (const LauncherError& error) {
        hooks.status(error.message);
        return UpdaterExit::refused;  // the launcher stops this process and carries on
    }
    hooks.status(L"Ждём завершения лаунчера…");
    if (WaitForSingleObject(launcher.get(), launcher_exit_timeout_ms) != WAIT_OBJECT_0) {
        // Nothing was touched: the next start may offer the same build again.
        end_hand_over(client);
        hooks.status(L"Лаунчер не завершил работу. Обновление отменено.");
        return UpdaterExit::left_as_is;
    }
    return options.restore ? restore_unproven(client, options, hooks)
                           : replace_launcher(client, options, hooks);
}

}  // namespace vorn
