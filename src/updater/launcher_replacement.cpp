#include "updater/launcher_replacement.h"

#include <windows.h>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "selfupdate/release_build.h"

namespace vorn {
namespace {

// The launcher that just ended, or a scanner looking at the new file, may hold the launcher's
// path for a moment: a move is tried for up to ten seconds before it counts as failed.
constexpr int move_attempts = 50;
constexpr DWORD move_pause_ms = 200;

bool move_over(const std::filesystem::path& from, const std::filesystem::path& to) {
    return MoveFileExW(long_path(from).c_str(), long_path(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Moves `from` over `to` until it works or `done` says nothing is left to do. Returns
// ERROR_SUCCESS, or the last move's error.
template <typename Done>
DWORD move_patiently(const std::filesystem::path& from, const std::filesystem::path& to,
                     Done done) {
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < move_attempts; ++attempt) {
        if (done() || move_over(from, to)) {
            return ERROR_SUCCESS;
        }
        error = GetLastError();
        Sleep(move_pause_ms);
    }
    return error;
}

}  // namespace

std::string back_up_launcher(const UpdaterClient& client) {
    try {
        // No launcher a descriptor may publish is larger; an older one is no larger either.
        const Bytes launcher = read_file_limited(client.launcher, largest_launcher_file);
        const std::string digest = sha256_bytes(launcher);
        write_file_atomic(client.backup, launcher);
        if (sha256_file(client.backup) != digest) {
            throw LauncherError("self_update_staging",
                                L"Резервная копия лаунчера не прошла проверку.", ERROR_CRC);
        }
        return digest;
    } catch (const LauncherError& error) {
        if (error.stage == "self_update_staging") {
            throw;
        }
        throw LauncherError("self_update_staging",
                            L"Не удалось сохранить резервную копию лаунчера.", error.win32);
    }
}

void install_staged_launcher(const UpdaterClient& client, const std::string& sha256) {
    if (!is_plain_file(client.staged) || sha256_file(client.staged) != sha256) {
        throw LauncherError("self_update_hash",
                            L"Загруженная версия лаунчера изменилась после проверки.", ERROR_CRC);
    }
    const DWORD error = move_patiently(client.staged, client.launcher, [] { return false; });
    if (error != ERROR_SUCCESS) {
        throw LauncherError("self_update_staging", L"Не удалось заменить файл лаунчера.", error);
    }
    if (sha256_file(client.launcher) != sha256) {
        throw LauncherError("self_update_hash",
                            L"Новая версия лаунчера изменилась после установки.", ERROR_CRC);
    }
}

void restore_launcher(const UpdaterClient& client, const std::string& old_sha256) {
    const auto restored = [&] {
        try {
            return sha256_file(client.launcher) == old_sha256;
        } catch (const LauncherError&) {
            return false;  // unreadable for now: the move says whether it can be replaced
        }
    };
    const DWORD error = move_patiently(client.backup, client.launcher, restored);
    if (error != ERROR_SUCCESS) {
        throw LauncherError("self_update_staging",
                            L"Не удалось вернуть прежнюю версию лаунчера. Она сохранена рядом с "
                            L"ним как резервная копия.",
                            error);
    }
}

void remove_backup_temporaries(const UpdaterClient& client) {
    const std::wstring backup_name = client.backup.filename().native();
    remove_stale_temporaries(client.root, [&](std::wstring_view name) {
        return lower_wide(std::wstring(name)) == lower_wide(backup_name);
    });
}

}  // namespace vorn
