#include <gtest/gtest.h>

#include <windows.h>

#include "core/file_probes.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "engine/actions/engine_actions.h"
#include "engine/client/running_client.h"
#include "engine_fixture.h"
#include "net/winhttp_transport.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

const std::wstring running = L"Закройте игру перед обновлением или восстановлением файлов.";

// A game stand-in started from a client folder; ended when the test is done with it.
class GameProcess {
  public:
    explicit GameProcess(const fs::path& exe) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        std::wstring command = L"\"" + exe.native() + L"\"";
        if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            exe.parent_path().c_str(), &startup, &info)) {
            throw std::runtime_error("cannot start the game stand-in");
        }
        process_.reset(info.hProcess);
        UniqueKernelHandle thread(info.hThread);
        Sleep(200);  // let it appear in the process list
    }
    ~GameProcess() { stop(); }
    void stop() {
        if (process_) {
            TerminateProcess(process_.get(), 0);
            WaitForSingleObject(process_.get(), 5000);
            process_.reset();
        }
    }

  private:
    UniqueKernelHandle process_;
};

// Copies the stand-in into `client`\element\`name`.
fs::path install_game(const fs::path& client, const wchar_t* name = L"elementclient.exe") {
    const fs::path target = client / L"element" / name;
    fs::create_directories(target.parent_path());
    fs::copy_file(test::from_linux_path(VORN_FAKE_GAME), target);
    return target;
}

TEST(RunningClient, OnlyTheGameOfThisFolderBlocks) {
    test::ScopedTempDir mine;
    test::ScopedTempDir other;
    const fs::path my_game = install_game(mine.path());
    const fs::path other_game = install_game(other.path());
    EXPECT_NO_THROW(ensure_game_not_running(my_game));

    GameProcess elsewhere(other_game);
    EXPECT_NO_THROW(ensure_game_not_running(my_game)) << "a copy in another folder must not block";
    VORN_EXPECT_ERROR(ensure_game_not_running(other_game), "game_running", running);
    // Paths are compared without regard to case.
    VORN_EXPECT_ERROR(ensure_game_not_running(lower_wide(other_game.native())), "game_running",
                      running);

    elsewhere.stop();
    EXPECT_NO_THROW(ensure_game_not_running(other_game)) << "an ended game no longer blocks";
}

TEST(RunningClient, AGameStartedUnderAnotherNameOfItsFolderBlocks) {
    test::ScopedTempDir dir;
    const fs::path client = dir / L"Папка клиента Vornell";
    const fs::path game = install_game(client);
    wchar_t short_name[MAX_PATH];
    const DWORD length = GetShortPathNameW(game.c_str(), short_name, MAX_PATH);
    ASSERT_GT(length, 0u);
    const fs::path short_game(std::wstring(short_name, length));
    EXPECT_TRUE(is_same_file(short_game, game));
    EXPECT_FALSE(is_same_file(game, client / L"element"));
    EXPECT_FALSE(is_same_file(game, client / L"missing.exe"));
    if (short_game == game) {
        GTEST_SKIP() << "this file system gives the folder no short name";
    }
    // Started through its short name, the game still blocks the long-named client.
    GameProcess started(short_game);
    VORN_EXPECT_ERROR(ensure_game_not_running(game), "game_running", running);
    started.stop();
    EXPECT_NO_THROW(ensure_game_not_running(game));
}

TEST(RunningClient, ExecutableNameIsComparedWithoutCase) {
    test::ScopedTempDir client;
    const fs::path upper = install_game(client.path(), L"ELEMENTCLIENT.EXE");
    GameProcess game(upper);
    VORN_EXPECT_ERROR(ensure_game_not_running(client / L"element\\elementclient.exe"),
                      "game_running", running);
}

TEST(RunningClient, OtherProgramsInTheFolderDoNotBlock) {
    test::ScopedTempDir client;
    install_game(client.path());
    const fs::path launcher_like = install_game(client.path(), L"VornellUpdater.exe");
    GameProcess other(launcher_like);
    EXPECT_NO_THROW(ensure_game_not_running(client / L"element\\elementclient.exe"));
}

TEST(RunningClient, EngineAsksAboutItsOwnClientOutsideTheLocalTest) {
    test::EngineFixture local;  // local-test run: no game is ever looked for
    GameProcess game(install_game(local.root()));
    EXPECT_NO_THROW(ensure_client_not_running(local.engine().client));
    EXPECT_TRUE(is_at_rest_for_self_update(local.engine()));

    LauncherConfig config = local.engine().services.config;
    config.local_test = false;
    UpdateEngine real(config, std::make_shared<WinHttpTransport>(), {}, {});
    VORN_EXPECT_ERROR(ensure_client_not_running(real.client), "game_running", running);
    VORN_EXPECT_ERROR(is_at_rest_for_self_update(real), "game_running", running);
    game.stop();
    EXPECT_TRUE(is_at_rest_for_self_update(real));
    test::write_raw_file(real.client.transaction_path, "{}");
    EXPECT_FALSE(is_at_rest_for_self_update(real));
}

}  // namespace
}  // namespace vorn
