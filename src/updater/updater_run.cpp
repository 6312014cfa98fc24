#include "updater/updater_run.h"

#include <windows.h>

#include <optional>

#include "core/file_system.h"
#include "core/sha256.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/unique_handle.h"
#include "selfupdate/handover_protocol.h"
#include "updater/client_location.h"
#include "updater/launcher_replacement.h"
#include "updater/new_launcher.h"

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
void start_launcher_quietly(const UpdaterClient& client, const UpdaterHooks& hooks) {
    try {
        start_launcher(client, std::nullopt);
    } catch (const LauncherError& error) {
        hooks.status(error.message);
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

// A build that never ran is not judged: its digest stays blocked while the launcher started
// here runs, and the player's next start offers it again.
void hold_until_next_start(const UpdaterClient& client, const UpdaterHooks& hooks) {
    try {
        const UniqueKernelHandle launcher = start_launcher(client, std::nullopt);
        record_run_holder(client.state_dir, launcher.get());
    } catch (const LauncherError& error) {
        hooks.status(error.message);
        end_hand_over(client);
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
        hold_until_next_start(client, hooks);
        return UpdaterExit::rolled_back;
    }
    mark_failed(client, options.sha256);
    start_launcher_quietly(client, hooks);
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

// Puts the previous build back in place of one whose proof was cut short, as a failed proof
// does: the backup must still be that build, the unproven one is marked failed.
UpdaterExit restore_unproven(const UpdaterClient& client, const UpdaterOptions& options,
                             const UpdaterHooks& hooks) {
    hooks.status(L"Новая версия лаунчера не подтвердила запуск. Возвращаем прежнюю версию…");
    const auto unproven = read_unproven_build(client.state_dir);
    try {
        if (!unproven || unproven->sha256 != options.sha256 ||
            !is_plain_file(client.backup) || sha256_file(client.backup) != unproven->previous) {
            throw LauncherError("self_update_staging",
                                L"Резервная копия прежней версии лаунчера не найдена.");
        }
        restore_launcher(client, unproven->previous);
    } catch (const LauncherError& error) {
        // Nothing to go back to: the build that stands there stays, and is not asked again.
        hooks.status(error.message);
        forget_unproven_build(client.state_dir);
        forget_run_holder(client.state_dir);
        start_launcher_quietly(client, hooks);
        return UpdaterExit::left_as_is;
    }
    forget_unproven_build(client.state_dir);
    mark_failed(client, options.sha256);
    start_launcher_quietly(client, hooks);
    return UpdaterExit::rolled_back;
}

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
