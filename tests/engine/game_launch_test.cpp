#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include "core/unique_handle.h"
#include "engine/actions/game_launch.h"
#include "engine/client/repair_state.h"
#include "engine/manifest/installed_receipt.h"
#include "engine/manifest/manifest_parse.h"
#include "engine_fixture.h"
#include "net/winhttp_transport.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

const std::wstring blocked = L"Сначала завершите проверку или обновление клиента.";
const std::vector<test::ClientFile> client_files = {{"element/data.bin", "data"}};

// Verifies the client as a check would: a valid receipt and the clean flag.
void mark_verified(UpdateEngine& engine) {
    write_installed_receipt(
        engine.client, engine.state.view,
        parse_manifest(engine.client, engine.services,
                       test::response_of(test::manifest_of(client_files).dump())));
    ASSERT_TRUE(engine.state.view.clean.load());
}

// The running process whose image is `exe`, opened so that the test can end it.
UniqueKernelHandle find_process(const fs::path& exe) {
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (bool more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        UniqueKernelHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                        entry.th32ProcessID));
        wchar_t image[MAX_PATH * 4];
        DWORD size = MAX_PATH * 4;
        if (!process || !QueryFullProcessImageNameW(process.get(), 0, image, &size)) {
            continue;
        }
        std::wstring path(image, size);
        if (path.starts_with(L"\\\\?\\")) {
            path.erase(0, 4);
        }
        if (CompareStringOrdinal(path.c_str(), -1, exe.c_str(), -1, TRUE) == CSTR_EQUAL) {
            return process;
        }
    }
    return {};
}

// Ends a started game when the test is done with it, whatever the outcome.
struct EndOnExit {
    UniqueKernelHandle process;
    ~EndOnExit() {
        if (process) {
            TerminateProcess(process.get(), 0);
            WaitForSingleObject(process.get(), 5000);
        }
    }
};

TEST(GameLaunch, LocalTestRefusesAnAllowedLaunch) {
    test::EngineFixture fixture;
    fixture.install(client_files);
    mark_verified(fixture.engine());
    VORN_EXPECT_ERROR(launch_game(fixture.engine()), "test_no_game",
                      L"Запуск игры отключён в локальном тесте.");
}

TEST(GameLaunch, UnverifiedOrDirtyClientIsBlocked) {
    test::EngineFixture fixture;
    UpdateEngine& engine = fixture.engine();
    fixture.install(client_files);
    mark_verified(engine);

    // The state files are consulted even though the clean flag is set.
    test::write_raw_file(engine.client.marker_path, repair_marker_text);
    VORN_EXPECT_ERROR(launch_game(engine), "play_blocked", blocked);
    fs::remove(engine.client.marker_path);
    fs::rename(engine.client.receipt_path, engine.client.cache_dir / L"receipt.moved");
    VORN_EXPECT_ERROR(launch_game(engine), "play_blocked", blocked);
    fs::rename(engine.client.cache_dir / L"receipt.moved", engine.client.receipt_path);

    engine.state.view.clean.store(false);
    VORN_EXPECT_ERROR(launch_game(engine), "play_blocked", blocked);
    engine.state.view.clean.store(true);
    VORN_EXPECT_ERROR(launch_game(engine), "test_no_game") << "every refusal was lifted again";
}

TEST(GameLaunch, MissingOrFolderGameIsBlocked) {
    test::EngineFixture fixture;
    fixture.install(client_files);
    mark_verified(fixture.engine());
    const fs::path game = fixture.root() / L"element" / L"elementclient.exe";
    fs::remove(game);
    VORN_EXPECT_ERROR(launch_game(fixture.engine()), "play_blocked", blocked);
    fs::create_directory(game);
    VORN_EXPECT_ERROR(launch_game(fixture.engine()), "play_blocked", blocked);
}

TEST(GameLaunch, StartsTheGameAndStaysPlayable) {
    test::ScopedTempDir client;
    test::ScopedTempDir service;
    const fs::path game = client.path() / L"element" / L"elementclient.exe";
    fs::create_directories(game.parent_path());
    fs::copy_file(test::from_linux_path(VORN_FAKE_GAME), game);
    test::write_raw_file(client.path() / L"element" / L"data.bin", "data");

    LauncherConfig config;
    config.root = client.path().native();
    config.cache_dir = (service.path() / L"service").native();
    config.local_test = false;
    config.endpoints.manifest_url = L"http://127.0.0.1:9/manifest.json";
    config.endpoints.update_base_url = L"http://127.0.0.1:9/blobs/";
    UpdateEngine engine(config, std::make_shared<WinHttpTransport>(), {}, {});
    mark_verified(engine);

    ASSERT_NO_THROW(launch_game(engine));
    EndOnExit started;
    for (int attempt = 0; attempt < 50 && !started.process; ++attempt) {
        started.process = find_process(engine.client.root / L"element" / L"elementclient.exe");
        if (!started.process) {
            Sleep(100);
        }
    }
    EXPECT_TRUE(started.process) << "the game did not show up among the processes";
    EXPECT_TRUE(engine.state.view.clean.load()) << "Play stays usable after a launch";
}

}  // namespace
}  // namespace vorn
