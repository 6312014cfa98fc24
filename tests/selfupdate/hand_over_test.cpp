#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "core/sha256.h"
#include "selfupdate/hand_over.h"
#include "selfupdate/health_file.h"
#include "selfupdate/handover_protocol.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// A client whose element folder holds the stand-in updater in the given mode.
struct Client {
    test::ScopedTempDir root;
    test::ScopedTempDir state;
    SelfUpdateContext context;
    ReleaseDescriptor descriptor;
    fs::path staged;

    explicit Client(const char* mode) {
        const fs::path updater = root / L"element" / L"VornellUpdater.exe";
        fs::create_directories(updater.parent_path());
        fs::copy_file(fs::path(VORN_FAKE_UPDATER), updater);
        test::write_raw_file(root / L"element" / L"fake-updater-mode.txt", mode);
        context.client_root = root.path();
        context.updater_path = updater;
        context.state_dir = state.path();
        descriptor.launcher = {"2026.10.26.5", std::string(64, 'b'), 4096, L""};
        descriptor.updater = ReleaseEntry{"2026.10.26.5", sha256_file(updater), 0, L""};
        staged = root / L"VornellLauncher.update.bbbb.exe";
        test::write_raw_file(staged, "staged");
    }
    fs::path blocked() const { return state / blocked_digest_file_name; }
};

TEST(HandOver, AConfirmedUpdaterTakesOverAndKeepsTheBlockedDigest) {
    Client client("signal");
    EXPECT_TRUE(hand_over(client.context, client.descriptor, client.staged));
    EXPECT_EQ(test::read_raw_file(client.blocked()), std::string(64, 'b') + "\r\n");
}

TEST(HandOver, AnUpdaterThatNeverConfirmsIsStoppedAndForgotten) {
    {
        Client client("exit");
        const auto error = test::capture_error(
            [&] { hand_over(client.context, client.descriptor, client.staged); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->stage, "self_update_ready");
        EXPECT_EQ(error->message,
                  L"Обновлятор не подтвердил безопасный запуск. Текущий лаунчер сохранён.");
        EXPECT_EQ(error->win32, 13u);
        EXPECT_FALSE(fs::exists(client.blocked()));
    }
    {
        Client client("hang");
        const ULONGLONG start = GetTickCount64();
        const auto error = test::capture_error(
            [&] { hand_over(client.context, client.descriptor, client.staged); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->win32, 1460u);  // the wait timed out
        EXPECT_GE(GetTickCount64() - start, 14000u);
        EXPECT_FALSE(fs::exists(client.blocked()));
        // The terminated updater no longer holds its file.
        EXPECT_TRUE(DeleteFileW(client.context.updater_path.c_str()));
    }
}

TEST(HandOver, RefusedBeforeAnythingStarts) {
    Client client("signal");
    client.descriptor.updater->sha256 = std::string(64, 'e');
    VORN_EXPECT_ERROR(hand_over(client.context, client.descriptor, client.staged),
                      "self_update_hash", L"Компонент обновления изменился перед запуском.");
    EXPECT_FALSE(fs::exists(client.blocked()));

    Client elsewhere("signal");
    elsewhere.context.updater_path = elsewhere.root / L"VornellUpdater.exe";
    VORN_EXPECT_ERROR(hand_over(elsewhere.context, elsewhere.descriptor, elsewhere.staged),
                      "self_update_staging",
                      L"Компонент обновления должен находиться в папке element клиента.");

    Client quoted("signal");
    VORN_EXPECT_ERROR(hand_over(quoted.context, quoted.descriptor, quoted.root / L"a\"b.exe"),
                      "self_update_spawn");
    EXPECT_FALSE(fs::exists(quoted.blocked()));
}

TEST(HandOver, TheCommandLineAndTheHealthFile) {
    SelfUpdateContext context;
    context.updater_path = L"C:\\Games\\V\\element\\VornellUpdater.exe";
    ReleaseDescriptor descriptor;
    descriptor.launcher = {"2026.10.26.5", std::string(64, 'b'), 4096, L""};
    EXPECT_EQ(
        updater_command_line(context, descriptor, L"C:\\Games\\V\\VornellLauncher.exe",
                             L"C:\\Games\\V\\VornellLauncher.update.b.exe", std::string(32, '1'),
                             42),
        L"\"C:\\Games\\V\\element\\VornellUpdater.exe\" --apply 42 "
        L"\"C:\\Games\\V\\VornellLauncher.exe\" \"C:\\Games\\V\\VornellLauncher.update.b.exe\" " +
            std::wstring(64, L'b') + L" " + std::wstring(32, L'1') + L" 2026.10.26.5");
    context.local_test_config = L"C:\\qa.json";
    EXPECT_TRUE(updater_command_line(context, descriptor, L"C:\\l.exe", L"C:\\s.exe",
                                     std::string(32, '1'), 42)
                    .ends_with(L" --local-test-config \"C:\\qa.json\""));

    test::ScopedTempDir state;
    write_health_file(state.path(), std::string(31, 'a'), "2026.10.26.4");
    write_health_file(state.path(), std::string(32, 'A'), "2026.10.26.4");
    EXPECT_FALSE(fs::exists(state / health_file_name));
    const std::string token(32, 'a');
    write_health_file(state.path(), token, "2026.10.26.4");
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_EQ(test::read_raw_file(state / health_file_name),
              "sha256=" + sha256_file(self) + "\r\ntoken=" + token + "\r\nbuild=2026.10.26.4\r\n");

    // The updater reads back exactly what was written, and nothing near it.
    const auto read = read_health_file(state.path());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->sha256, sha256_file(self));
    EXPECT_EQ(read->token, token);
    EXPECT_EQ(read->build, "2026.10.26.4");
    const std::string good = health_file_text(*read);
    for (const std::string& almost :
         {good.substr(0, good.size() - 2), good + "x", "\n" + good, good.substr(0, 70) + "\n",
          std::string("token=") + token + "\r\nsha256=" + read->sha256 + "\r\nbuild=1\r\n",
          std::string()}) {
        EXPECT_FALSE(parse_health_file(almost)) << almost;
    }
}

}  // namespace
}  // namespace vorn
