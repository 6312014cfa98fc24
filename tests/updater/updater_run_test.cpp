#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/sha256.h"
#include "core/unique_handle.h"
#include "fixture_client.h"
#include "selfupdate/handover_protocol.h"
#include "selfupdate/health_file.h"
#include "support/temp_dir.h"
#include "updater/updater_run.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// A client whose launcher is the stand-in (old build), running and about to end, with a
// staged new build of the stand-in beside it and the launcher's ready event waiting.
struct HandedOver {
    test::FixtureClient client;
    std::string old_build = test::read_raw_file(fs::path(VORN_FAKE_LAUNCHER)) + "old build";
    std::string new_build = test::read_raw_file(fs::path(VORN_FAKE_LAUNCHER)) + "new build";
    UniqueKernelHandle launcher;
    UniqueKernelHandle ready;
    std::vector<std::wstring> statuses;
    std::vector<bool> holds;  // the session holds asked for, in order

    // `from_staged`: the waiting launcher runs from the staged copy, so that the launcher's
    // path is free to hold another build.
    explicit HandedOver(bool from_staged = false) {
        client.expect_build(sha256_bytes(as_bytes(new_build)));
        client.options.build = "2026.10.26.5";
        test::write_raw_file(client.options.launcher, old_build);
        test::write_raw_file(client.options.staged, new_build);
        test::write_raw_file(client.root / L"fake-launcher-build.txt", "2026.10.26.5");
        test::write_raw_file(client.state / blocked_digest_file_name,
                             client.options.sha256 + "\r\n");
        launcher =
            start(from_staged ? client.options.staged : client.options.launcher, L" --linger 1000");
        ready.reset(CreateEventW(nullptr, TRUE, FALSE, event_name().c_str()));
    }

    static ByteView as_bytes(const std::string& text) {
        return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    }
    static UniqueKernelHandle start(const fs::path& program, const std::wstring& arguments) {
        std::wstring line = L"\"" + program.native() + L"\"" + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        EXPECT_TRUE(CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, nullptr, &startup, &process));
        CloseHandle(process.hThread);
        return UniqueKernelHandle(process.hProcess);
    }
    std::wstring event_name() const {
        return L"Local\\VornellUpdaterReadyV1-" + std::to_wstring(GetProcessId(launcher.get())) +
               L"-" + std::wstring(test::ready_id.begin(), test::ready_id.end());
    }
    std::vector<std::wstring> arguments() const {
        const UpdaterOptions& o = client.options;
        return {L"--apply",
                std::to_wstring(GetProcessId(launcher.get())),
                o.launcher.native(),
                o.staged.native(),
                std::wstring(o.sha256.begin(), o.sha256.end()),
                std::wstring(test::ready_id.begin(), test::ready_id.end()),
                std::wstring(o.build.begin(), o.build.end()),
                L"--local-test-config",
                o.local_test_config->native()};
    }
    UpdaterExit run(const fs::path& own_path) { return run_with(arguments(), own_path); }
    UpdaterExit run_with(const std::vector<std::wstring>& args, const fs::path& own_path) {
        return run_updater(
            args, own_path,
            {.status = [this](const std::wstring& text) { statuses.push_back(text); },
             .hold_session = [this](bool held) { holds.push_back(held); }});
    }
    bool signalled() const { return WaitForSingleObject(ready.get(), 0) == WAIT_OBJECT_0; }
    // The stand-in's log: one line per start, "<its digest> <token or ->". A launcher the
    // updater starts and does not wait for may need a moment to write it.
    std::string log_after(std::size_t lines) const {
        std::string log;
        for (int i = 0; i < 100; ++i) {
            const fs::path path = client.root / L"fake-launcher-log.txt";
            log = fs::exists(path) ? test::read_raw_file(path) : "";
            if (static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')) >= lines) {
                break;
            }
            Sleep(100);
        }
        return log;
    }
};

TEST(UpdaterRun, AHealthyNewBuildReplacesTheLauncherAndAnUnhealthyOneIsUndone) {
    struct Row {
        const char* what;
        const char* mode;          // of the new build's stand-in
        const char* health_build;  // the build it reports
        bool alter_staged;         // the staged file changes after its digest was taken
        bool failed_unwritable;    // the failed-digest file cannot be written
        UpdaterExit exit;
    };
    const Row rows[] = {
        {"healthy", "healthy", "2026.10.26.5", false, false, UpdaterExit::replaced},
        {"never writes its health file", "silent", "2026.10.26.5", false, false,
         UpdaterExit::rolled_back},
        {"reports another build", "healthy", "2026.10.26.6", false, false,
         UpdaterExit::rolled_back},
        {"fails where its failure cannot be recorded", "silent", "2026.10.26.5", false, true,
         UpdaterExit::rolled_back},
        {"staged file altered: never ran", "healthy", "2026.10.26.5", true, false,
         UpdaterExit::rolled_back},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HandedOver run;
        const std::string old_sha = sha256_bytes(HandedOver::as_bytes(run.old_build));
        const std::string new_sha = run.client.options.sha256;
        test::write_raw_file(run.client.root / L"fake-launcher-mode.txt", row.mode);
        test::write_raw_file(run.client.root / L"fake-launcher-build.txt", row.health_build);
        if (row.alter_staged) {
            test::write_raw_file(run.client.options.staged, run.new_build + "!");
        }
        const fs::path failed = run.client.state / failed_digest_file_name;
        const fs::path blocked = run.client.state / blocked_digest_file_name;
        if (row.failed_unwritable) {
            fs::create_directories(failed);  // a folder where the file would go
        }
        EXPECT_EQ(run.run(run.client.updater()), row.exit);
        EXPECT_TRUE(run.signalled());
        EXPECT_EQ(WaitForSingleObject(run.launcher.get(), 0), WAIT_OBJECT_0);  // waited for
        ASSERT_FALSE(run.statuses.empty());
        // The session is held exactly while a new build stands unproven.
        const std::vector<bool> held_while_unproven = {true, false};
        EXPECT_EQ(run.holds, row.alter_staged ? std::vector<bool>() : held_while_unproven);
        EXPECT_FALSE(read_unproven_build(run.client.state.path()));  // proven or put back
        if (row.exit == UpdaterExit::replaced) {
            EXPECT_EQ(run_holder(run.client.state.path()), RunHolder::none);
            EXPECT_EQ(test::read_raw_file(run.client.root / L"VornellLauncher.backup.exe"),
                      run.old_build);
            EXPECT_EQ(test::read_raw_file(run.client.options.launcher), run.new_build);
            EXPECT_FALSE(fs::exists(run.client.options.staged));
            EXPECT_FALSE(fs::exists(failed));
            const std::string log = run.log_after(1);
            EXPECT_EQ(log.substr(0, 65), new_sha + " ");
            const auto health = read_health_file(run.client.state.path());
            ASSERT_TRUE(health);
            EXPECT_EQ(health->sha256, new_sha);
            EXPECT_EQ(log, new_sha + " " + health->token + "\n");
            EXPECT_EQ(run.statuses.back(), L"Лаунчер обновлён.");
            continue;
        }
        // Undone: the old build is back (its backup moved back in) and started without a
        // token.
        EXPECT_EQ(test::read_raw_file(run.client.options.launcher), run.old_build);
        const std::string log = run.log_after(row.alter_staged ? 1 : 2);
        EXPECT_TRUE(log.ends_with(old_sha + " -\n")) << log;
        EXPECT_EQ(log.find(new_sha) == std::string::npos, row.alter_staged) << log;
        if (row.alter_staged) {
            // Never ran, so never judged: blocked only while the launcher started here runs.
            EXPECT_FALSE(fs::exists(failed));
            EXPECT_EQ(read_digest_file(blocked), new_sha);
            EXPECT_NE(run_holder(run.client.state.path()), RunHolder::none);
        } else if (row.failed_unwritable) {
            // Not recorded as failed: the blocked digest stays, held by nobody, so it counts.
            EXPECT_EQ(read_digest_file(blocked), new_sha);
            EXPECT_EQ(run_holder(run.client.state.path()), RunHolder::none);
        } else {
            EXPECT_EQ(test::read_raw_file(failed), new_sha + "\r\n");
            EXPECT_FALSE(fs::exists(blocked));
            EXPECT_EQ(run_holder(run.client.state.path()), RunHolder::none);
        }
    }
}

TEST(UpdaterRun, ALauncherPathHeldForAMomentIsStillReplaced) {
    HandedOver run;
    const auto hold = [](const fs::path& path) {
        return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    const fs::path probe = run.client.root / L"probe.txt";
    test::write_raw_file(probe, "held");
    test::write_raw_file(run.client.root / L"probe-new.txt", "new");
    {
        const UniqueFile held_probe = hold(probe);
        if (MoveFileExW((run.client.root / L"probe-new.txt").c_str(), probe.c_str(),
                        MOVEFILE_REPLACE_EXISTING)) {
            GTEST_SKIP() << "this system replaces a file that is open without delete sharing";
        }
    }
    // Held without delete sharing, as a launcher that just ended may still hold it, for
    // three seconds: past the launcher's end and the backup, into the move.
    UniqueFile held = hold(run.client.options.launcher);
    ASSERT_TRUE(held);
    std::thread release([&] {
        Sleep(3000);
        held.reset();
    });
    test::write_raw_file(run.client.root / L"fake-launcher-mode.txt", "healthy");
    EXPECT_EQ(run.run(run.client.updater()), UpdaterExit::replaced);
    release.join();
    EXPECT_EQ(test::read_raw_file(run.client.options.launcher), run.new_build);
    EXPECT_FALSE(fs::exists(run.client.state / failed_digest_file_name));
}

TEST(UpdaterRun, RestorePutsTheCheckedBackupBackInPlaceOfAnUnprovenBuild) {
    for (const bool backup_intact : {true, false}) {
        SCOPED_TRACE(backup_intact ? "backup intact" : "backup altered");
        HandedOver run(true);
        const UpdaterOptions& o = run.client.options;
        const std::string old_sha = sha256_bytes(HandedOver::as_bytes(run.old_build));
        const fs::path backup = run.client.root / L"VornellLauncher.backup.exe";
        test::write_raw_file(o.launcher, run.new_build);
        test::write_raw_file(backup, backup_intact ? run.old_build : run.old_build + "!");
        record_unproven_build(run.client.state.path(), {o.sha256, old_sha});
        const std::vector<std::wstring> args = {
            L"--restore",
            std::to_wstring(GetProcessId(run.launcher.get())),
            o.launcher.native(),
            std::wstring(o.sha256.begin(), o.sha256.end()),
            std::wstring(test::ready_id.begin(), test::ready_id.end()),
            L"--local-test-config",
            o.local_test_config->native()};
        EXPECT_EQ(run.run_with(args, run.client.updater()),
                  backup_intact ? UpdaterExit::rolled_back : UpdaterExit::left_as_is);
        EXPECT_TRUE(run.signalled());
        // Either way the record is gone: the next start is not asked to restore again.
        EXPECT_FALSE(read_unproven_build(run.client.state.path()));
        EXPECT_EQ(run_holder(run.client.state.path()), RunHolder::none);
        const fs::path failed = run.client.state / failed_digest_file_name;
        if (backup_intact) {
            EXPECT_EQ(test::read_raw_file(o.launcher), run.old_build);
            EXPECT_EQ(read_digest_file(failed), o.sha256);
            EXPECT_TRUE(run.log_after(1).ends_with(old_sha + " -\n"));
        } else {
            EXPECT_EQ(test::read_raw_file(o.launcher), run.new_build);
            EXPECT_FALSE(fs::exists(failed));
        }
    }
}

TEST(UpdaterRun, AnUpdaterOutsideTheElementFolderNeverSignalsNorTouchesAnything) {
    HandedOver run;
    EXPECT_EQ(run.run(run.client.root / L"VornellUpdater.exe"), UpdaterExit::refused);
    EXPECT_FALSE(run.signalled());
    EXPECT_EQ(run.statuses.back(),
              L"Компонент обновления должен находиться в папке element клиента.");
    EXPECT_EQ(test::read_raw_file(run.client.options.launcher), run.old_build);
    EXPECT_EQ(test::read_raw_file(run.client.options.staged), run.new_build);
    EXPECT_FALSE(fs::exists(run.client.root / L"VornellLauncher.backup.exe"));
    EXPECT_TRUE(fs::exists(run.client.state / blocked_digest_file_name));
}

}  // namespace
}  // namespace vorn
