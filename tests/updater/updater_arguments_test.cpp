#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/launcher_error.h"
#include "model/local_test_config.h"
#include "selfupdate/hand_over.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"
#include "fixture_client.h"
#include "updater/client_location.h"
#include "updater/updater_options.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

using test::new_sha;
using test::ready_id;

// The arguments of a command line the way the updater's C runtime would split it.
std::vector<std::wstring> split(const std::wstring& line) {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> arguments(words + 1, words + count);
    LocalFree(words);
    return arguments;
}

TEST(UpdaterArguments, TheLaunchersCommandLineReadsBack) {
    SelfUpdateContext context;
    context.updater_path = L"C:\\Games\\Vornell Online\\element\\VornellUpdater.exe";
    context.local_test_config = L"C:\\Fixture\\qa config.json";
    ReleaseDescriptor descriptor;
    descriptor.launcher = {"2026.10.26.5", new_sha, 4096, L""};
    const std::wstring line = updater_command_line(
        context, descriptor, L"C:\\Games\\Vornell Online\\VornellLauncher.exe",
        L"C:\\Games\\Vornell Online\\VornellLauncher.update.eee.exe", ready_id, 4242);

    const UpdaterOptions options = parse_updater_options(split(line));
    EXPECT_EQ(options.launcher_process_id, 4242u);
    EXPECT_EQ(options.launcher, fs::path(L"C:\\Games\\Vornell Online\\VornellLauncher.exe"));
    EXPECT_EQ(options.staged,
              fs::path(L"C:\\Games\\Vornell Online\\VornellLauncher.update.eee.exe"));
    EXPECT_EQ(options.sha256, new_sha);
    EXPECT_EQ(options.ready_id, ready_id);
    EXPECT_EQ(options.build, "2026.10.26.5");
    ASSERT_TRUE(options.local_test_config);
    EXPECT_EQ(*options.local_test_config, fs::path(L"C:\\Fixture\\qa config.json"));

    // The restore's command line reads back too, and names no staged file nor build.
    const UpdaterOptions restore = parse_updater_options(split(restore_command_line(
        context.updater_path, 4242, L"C:\\Games\\Vornell Online\\VornellLauncher.exe", new_sha,
        ready_id, context)));
    EXPECT_TRUE(restore.restore);
    EXPECT_EQ(restore.launcher_process_id, 4242u);
    EXPECT_EQ(restore.sha256, new_sha);
    EXPECT_EQ(restore.ready_id, ready_id);
    EXPECT_TRUE(restore.staged.empty());
    EXPECT_TRUE(restore.local_test_config);
    const std::vector<std::wstring> restore_with_build = {
        L"--restore",
        L"77",
        L"C:\\c\\L.exe",
        std::wstring(new_sha.begin(), new_sha.end()),
        std::wstring(ready_id.begin(), ready_id.end()),
        L"2026.10.26.5"};
    VORN_EXPECT_ERROR(parse_updater_options(restore_with_build), "self_update_spawn",
                      L"Неверные параметры запуска обновления лаунчера.");

    context.local_test_config.reset();
    EXPECT_FALSE(
        parse_updater_options(split(updater_command_line(context, descriptor, L"C:\\a\\L.exe",
                                                         L"C:\\a\\S.exe", ready_id, 1)))
            .local_test_config);
}

TEST(UpdaterArguments, AnythingTheLauncherWouldNotWriteIsRefused) {
    const std::wstring sha(new_sha.begin(), new_sha.end());
    const std::wstring id(ready_id.begin(), ready_id.end());
    const std::vector<std::wstring> good = {L"--apply", L"77", L"C:\\c\\L.exe", L"C:\\c\\S.exe",
                                            sha,        id,    L"2026.10.26.5"};
    ASSERT_NO_THROW(parse_updater_options(good));
    struct Row {
        const char* what;
        std::size_t index;
        std::wstring value;
    };
    const Row rows[] = {
        {"another verb", 0, L"--install"},
        {"process id zero", 1, L"0"},
        {"process id with a leading zero", 1, L"077"},
        {"process id beyond 32 bits", 1, L"4294967296"},
        {"process id with a sign", 1, L"+77"},
        {"relative launcher path", 2, L"L.exe"},
        {"empty staged path", 3, L""},
        {"upper-case digest", 4, std::wstring(64, L'E')},
        {"short digest", 4, std::wstring(63, L'e')},
        {"non-ASCII digest", 4, std::wstring(63, L'e') + L"е"},
        {"short ready id", 5, std::wstring(31, L'5')},
        {"three-number build", 6, L"2026.10.26"},
        {"build with a leading zero", 6, L"2026.10.26.05"},
    };
    for (const Row& row : rows) {
        std::vector<std::wstring> args = good;
        args[row.index] = row.value;
        VORN_EXPECT_ERROR(parse_updater_options(args), "self_update_spawn",
                          L"Неверные параметры запуска обновления лаунчера.")
            << row.what;
    }
    std::vector<std::wstring> longer = good;
    longer.push_back(L"--local-test-config");
    VORN_EXPECT_ERROR(parse_updater_options(longer), "self_update_spawn",
                      L"Неверные параметры запуска обновления лаунчера.");
    longer.push_back(L"C:\\qa.json");
    EXPECT_NO_THROW(parse_updater_options(longer));
    longer[7] = L"--qa-config";
    VORN_EXPECT_ERROR(parse_updater_options(longer), "self_update_spawn",
                      L"Неверные параметры запуска обновления лаунчера.");
}

TEST(UpdaterLocation, OnlyTheClientsOwnFilesAreTouched) {
    test::FixtureClient client;
    const UpdaterClient located = locate_client(client.options, client.updater());
    EXPECT_EQ(located.root, client.root.path());
    EXPECT_EQ(located.state_dir, client.state.path());
    EXPECT_EQ(located.backup, client.root / L"VornellLauncher.backup.exe");

    // The element folder is found whatever its spelling.
    EXPECT_NO_THROW(
        locate_client(client.options, client.root / L"ELEMENT" / L"vornellupdater.exe"));

    const std::wstring location =
        L"Компонент обновления должен находиться в папке element клиента.";
    VORN_EXPECT_ERROR(locate_client(client.options, client.root / L"VornellUpdater.exe"),
                      "self_update_staging", location);
    VORN_EXPECT_ERROR(
        locate_client(client.options, client.root / L"element" / L"Copy of VornellUpdater.exe"),
        "self_update_staging", location);
    VORN_EXPECT_ERROR(locate_client(client.options, client.root / L"other" / L"VornellUpdater.exe"),
                      "self_update_staging", location);

    const std::wstring outside = L"Обновление лаунчера указывает на файлы вне папки клиента.";
    struct Row {
        const char* what;
        void (*change)(UpdaterOptions&, const fs::path& root);
    };
    const Row rows[] = {
        {"launcher in a subfolder",
         [](UpdaterOptions& o, const fs::path& r) { o.launcher = r / L"element" / L"L.exe"; }},
        {"launcher outside the client",
         [](UpdaterOptions& o, const fs::path& r) { o.launcher = r.parent_path() / L"L.exe"; }},
        {"launcher that is no program",
         [](UpdaterOptions& o, const fs::path& r) { o.launcher = r / L"VornellLauncher.dll"; }},
        {"staged build of another name",
         [](UpdaterOptions& o, const fs::path& r) { o.staged = r / L"VornellLauncher.new.exe"; }},
        {"staged build of another digest",
         [](UpdaterOptions& o, const fs::path&) { o.sha256 = std::string(64, 'f'); }},
        {"staged build climbing out",
         [](UpdaterOptions& o, const fs::path& r) {
             o.staged = r / L"element" / L".." / L".." / o.staged.filename();
         }},
        {"launcher that is the staged build",
         [](UpdaterOptions& o, const fs::path&) { o.launcher = o.staged; }},
    };
    for (const Row& row : rows) {
        UpdaterOptions options = client.options;
        row.change(options, client.root.path());
        VORN_EXPECT_ERROR(locate_client(options, client.updater()), "self_update_staging", outside)
            << row.what;
    }

    // A local-test configuration of another client is not this client's.
    test::FixtureClient other;
    UpdaterOptions foreign = client.options;
    foreign.local_test_config = other.root / L"qa.json";
    VORN_EXPECT_ERROR(locate_client(foreign, client.updater()), "self_update_staging", outside);
}

}  // namespace
}  // namespace vorn
