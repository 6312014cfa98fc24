#include "engine/actions/game_launch.h"

#include <windows.h>

#include <mutex>
#include <optional>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/unique_handle.h"
#include "engine/client/client_place.h"
#include "engine/client/repair_state.h"
#include "engine/client/running_client.h"
#include "engine/client/update_engine.h"
#include "engine/manifest/installed_receipt.h"
#include "model/manifest.h"

namespace vorn {
namespace {

// Each test runs only when the one before it passed.
std::optional<std::filesystem::path> launchable_game(const UpdateEngine& engine) {
    const ClientPlace& client = engine.client;
    if (!engine.state.view.clean.load() || file_exists(client.marker_path) ||
        file_exists(client.root / legacy_marker_name) || !read_installed_receipt(client).valid) {
        return std::nullopt;
    }
    return game_executable_path(client);
}

}  // namespace

void launch_game(UpdateEngine& engine) {
    const std::lock_guard hold(engine.state.lock);
    const std::optional<std::filesystem::path> game = launchable_game(engine);
    if (!game) {
        throw LauncherError("play_blocked", L"Сначала завершите проверку или обновление клиента.");
    }
    if (engine.client.local_test) {
        throw LauncherError("test_no_game", L"Запуск игры отключён в локальном тесте.");
    }
    std::wstring command = L"\"" + game->native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(game->c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        game->parent_path().c_str(), &startup, &started)) {
        throw LauncherError("game_launch", L"Не удалось запустить клиент игры.", GetLastError());
    }
    // The launcher neither waits for the game nor keeps it.
    const UniqueKernelHandle process(started.hProcess);
    const UniqueKernelHandle thread(started.hThread);
}

}  // namespace vorn
