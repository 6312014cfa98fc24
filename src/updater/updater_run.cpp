#include "updater/updater_run.h"

#include <windows.h>

#include <optional>

#include "core/file_system.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/unique_handle.h"
#include "selfupdate/hand_over.h"
#include "selfupdate/release_state.h"
#include "updater/client_location.h"
#include "updater/launcher_replacement.h"
#include "updater/new_launcher.h"

namespace vorn {
namespace {

constexpr DWORD launcher_exit_timeout_ms = 60000;

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

void forget_blocked_digest(const UpdaterClient& client) {
    DeleteFileW(long_path(client.state_dir / blocked_digest_file_name).c_str());
}

// The new build is never offered again; the attempt is over.
void mark_failed(const UpdaterClient& client, const std::string& sha256) {
    try {
        ensure_service_directory(client.state_dir);
        write_text_file_atomic(client.state_dir / failed_digest_file_name, sha256 + "\r\n");
    } catch (const LauncherError&) {
        // The old build runs either way; only a later retry of this build is not ruled out.
    }
    forget_blocked_digest(client);
}

// Replaces the launcher and waits for the new build's health file. Throws LauncherError;
// `replaced` says whether the launcher's path already holds the new build.
void install_new_build(const UpdaterClient& client, const UpdaterOptions& options, bool& replaced,
                       const StatusSink& status) {
    status(L"Устанавливаем новую версию лаунчера…");
    replaced = true;  // from the move on, the old build must come back on failure
    install_staged_launcher(client, options.sha256);
    status(L"Запускаем новую версию и ждём её готовности…");
    const HealthRecord expected{options.sha256, random_hex(16), options.build};
    const UniqueKernelHandle launcher = start_launcher(client, expected.token);
    if (!wait_for_health(client, launcher.get(), expected, health_timeout_ms)) {
        stop_launcher(launcher.get());
        throw LauncherError("self_update_version", L"Новая версия лаунчера не подтвердила запуск.",
                            ERROR_TIMEOUT);
    }
}

UpdaterExit roll_back(const UpdaterClient& client, const UpdaterOptions& options,
                      const std::optional<std::string>& old_sha256, bool replaced,
                      const LauncherError& failure, const StatusSink& status) {
    status(failure.message + L" Возвращаем прежнюю версию…");
    if (replaced && old_sha256) {
        try {
            restore_launcher(client, *old_sha256);
        } catch (const LauncherError& error) {
            status(error.message);
        }
    }
    mark_failed(client, options.sha256);
    try {
        start_launcher(client, std::nullopt);
    } catch (const LauncherError& error) {
        status(error.message);
    }
    return UpdaterExit::rolled_back;
}

UpdaterExit replace_launcher(const UpdaterClient& client, const UpdaterOptions& options,
                             const StatusSink& status) {
    std::optional<std::string> old_sha256;
    bool replaced = false;
    try {
        status(L"Сохраняем резервную копию лаунчера…");
        remove_backup_temporaries(client);
        old_sha256 = back_up_launcher(client);
        install_new_build(client, options, replaced, status);
    } catch (const LauncherError& failure) {
        return roll_back(client, options, old_sha256, replaced, failure, status);
    }
    status(L"Лаунчер обновлён.");
    return UpdaterExit::replaced;
}

}  // namespace

UpdaterExit run_updater(const std::vector<std::wstring>& args,
                        const std::filesystem::path& own_path, const StatusSink& status) {
    UpdaterOptions options;
    UpdaterClient client;
    UniqueKernelHandle launcher;
    try {
        options = parse_updater_options(args);
        client = locate_client(options, own_path);
        launcher = open_launcher_process(options.launcher_process_id);
        signal_ready(options);
    } catch (const LauncherError& error) {
        status(error.message);
        return UpdaterExit::refused;  // the launcher stops this process and carries on
    }
    status(L"Ждём завершения лаунчера…");
    if (WaitForSingleObject(launcher.get(), launcher_exit_timeout_ms) != WAIT_OBJECT_0) {
        // Nothing was touched: the next start may offer the same build again.
        forget_blocked_digest(client);
        status(L"Лаунчер не завершил работу. Обновление отменено.");
        return UpdaterExit::left_as_is;
    }
    return replace_launcher(client, options, status);
}

}  // namespace vorn
