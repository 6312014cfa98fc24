#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "core/system/module_path.h"
#include "core/text.h"
#include "net/winhttp_transport.h"
#include "selfupdate/handover_protocol.h"
#include "selfupdate/self_update.h"
#include "support/loopback_control.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A client in the local-test mode, its release files on the loopback server, and the
// stand-in updater in `mode` in its element folder.
struct Release {
    const test::LoopbackServer& server;
    std::string prefix = test::LoopbackServer::new_prefix();
    fs::path served;
    test::ScopedTempDir root;
    test::ScopedTempDir state;
    WinHttpTransport transport;
    SelfUpdateRun run;
    std::vector<ViewUpdate> views;
    std::vector<LauncherError> reports;
    std::string new_launcher;

    Release(const test::LoopbackServer& loopback, const char* mode) : server(loopback) {
        served = server.root() / fs::path(prefix.substr(1)).make_preferred();
        fs::create_directories(served);
        const fs::path updater = root / L"element" / L"VornellUpdater.exe";
        fs::create_directories(updater.parent_path());
        fs::copy_file(fs::path(VORN_FAKE_UPDATER), updater);
        test::write_raw_file(root / L"element" / L"fake-updater-mode.txt", mode);
        // The "new launcher" is any 64-bit program: the stand-in game will do.
        new_launcher = test::read_raw_file(fs::path(VORN_FAKE_UPDATER));
        new_launcher += std::string(16, '\0');  // another build, another digest
        test::write_raw_file(served / L"VornellLauncher.exe", new_launcher);
        test::write_raw_file(root / L"qa.json", "{}");
        run.context = {.transport = &transport,
                       .trust = UrlTrust::loopback_only,
                       .client_root = root.path(),
                       .updater_path = updater,
                       .state_dir = state.path(),
                       .pinned_updater_sha256 = sha256_string(test::read_raw_file(updater)),
                       .local_test_config = root / L"qa.json"};
        run.release_url = server.url(prefix + "primary.json");
        run.release_fallback_url = server.url(prefix + "fallback.json");
        run.rules = {.trust = UrlTrust::loopback_only, .local_test = true};
        run.running_build = "2026.10.26.4";
        run.progress = [this](const ViewUpdate& view) { views.push_back(view); };
        run.report = [this](const LauncherError& error) {
            reports.push_back(error);
            return std::string(32, '7');
        };
    }

    // The descriptor, with the updater now in the element folder unless `updater` is given:
    // then that file is published as the component to download.
    void publish(const char* name, const std::string& build,
                 std::optional<std::string> published_updater = std::nullopt) {
        const std::string updater =
            published_updater ? *published_updater : test::read_raw_file(run.context.updater_path);
        test::write_raw_file(served / L"VornellUpdater.exe", updater);
        const json descriptor = {{"schema", 2},
                                 {"build", build},
                                 {"sha256", sha256_string(new_launcher)},
                                 {"size", new_launcher.size()},
                                 {"url", to_narrow(server.url(prefix + "VornellLauncher.exe"))},
                                 {"updater",
                                  {{"build", build},
                                   {"sha256", sha256_string(updater)},
                                   {"size", updater.size()},
                                   {"url", to_narrow(server.url(prefix + "VornellUpdater.exe"))}}}};
        test::write_raw_file(served / name, descriptor.dump());
    }
    static std::string to_narrow(const std::wstring& wide) {
        return std::string(wide.begin(), wide.end());
    }
    std::vector<std::string> asked() const {
        std::vector<std::string> paths;
        for (const json& request : server.requests(prefix)) {
            paths.push_back(request.at("path").get<std::string>().substr(prefix.size()));
        }
        return paths;
    }
};

TEST(SelfUpdate, NoDescriptorAnywhereIsNoUpdateAndNoReport) {
    VORN_REQUIRE_LOOPBACK(server);
    Release release(server, "signal");
    EXPECT_FALSE(run_self_update(release.run));
    EXPECT_TRUE(release.views.empty());
    EXPECT_TRUE(release.reports.empty());
    EXPECT_EQ(release.asked(), (std::vector<std::string>{"primary.json", "fallback.json"}));
}

TEST(SelfUpdate, ANewerBuildAtTheFallbackIsStagedAndHandedOver) {
    VORN_REQUIRE_LOOPBACK(server);
    Release release(server, "signal");
    release.publish("fallback.json", "2026.10.26.10");
    EXPECT_TRUE(run_self_update(release.run));
    EXPECT_TRUE(release.reports.empty());
    const fs::path staged =
        staged_launcher_path(release.run.context, sha256_string(release.new_launcher));
    EXPECT_EQ(test::read_raw_file(staged), release.new_launcher);
    EXPECT_EQ(read_digest_file(release.state / blocked_digest_file_name),
              sha256_string(release.new_launcher));
    ASSERT_EQ(release.views.size(), 3u);
    EXPECT_EQ(release.views[0].percent, 5);
    EXPECT_EQ(release.views[1].percent, 15);
    EXPECT_EQ(release.views[2].detail,
              L"Открылось окно обновления. Лаунчер сейчас завершит работу.");

    // The blocked digest is never started again.
    release.views.clear();
    EXPECT_FALSE(run_self_update(release.run));
    EXPECT_TRUE(release.views.empty());
}

TEST(SelfUpdate, TheSameBuildOrAFailedDigestIsNotOffered) {
    VORN_REQUIRE_LOOPBACK(server);
    Release release(server, "signal");
    release.publish("primary.json", "2026.10.26.4");
    EXPECT_FALSE(run_self_update(release.run));
    EXPECT_TRUE(release.views.empty());

    release.publish("primary.json", "2026.10.27.0");
    test::write_raw_file(release.state / failed_digest_file_name,
                         sha256_string(release.new_launcher) + "\r\n");
    EXPECT_FALSE(run_self_update(release.run));
    EXPECT_TRUE(release.views.empty());
    for (const std::string& path : release.asked()) {
        EXPECT_EQ(path.find(".exe"), std::string::npos) << path;  // nothing was downloaded
    }
}

TEST(SelfUpdate, AFailureIsReportedAndShownWithItsCode) {
    VORN_REQUIRE_LOOPBACK(server);
    Release release(server, "exit");
    release.publish("primary.json", "2026.10.26.10");
    EXPECT_FALSE(run_self_update(release.run));
    ASSERT_EQ(release.reports.size(), 1u);
    EXPECT_EQ(release.reports[0].stage, "self_update_ready");
    const ViewUpdate& last = release.views.back();
    EXPECT_EQ(last.phase, Phase::error);
    EXPECT_EQ(last.title, L"Обновление лаунчера не выполнено");
    EXPECT_EQ(last.detail, release.reports[0].message);
    EXPECT_EQ(last.hint, L"Код отчёта: " + std::wstring(32, L'7'));
    EXPECT_FALSE(fs::exists(release.state / blocked_digest_file_name));

    // Without its local-test configuration the new launcher is never started.
    Release unconfigured(server, "signal");
    unconfigured.publish("primary.json", "2026.10.26.10");
    unconfigured.run.context.local_test_config.reset();
    EXPECT_FALSE(run_self_update(unconfigured.run));
    ASSERT_EQ(unconfigured.reports.size(), 1u);
    EXPECT_EQ(unconfigured.reports[0].stage, "qa_spawn_blocked");
}

TEST(SelfUpdate, AnotherUpdaterIsTakenOnlyFromThePinnedSigner) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string pinned = test::read_raw_file(fs::path(VORN_SIGNED_UPDATER));
    struct Row {
        const char* what;
        const char* published;  // the updater the descriptor names
        bool pins;
        const char* stage;  // "" when handed over
    };
    const Row rows[] = {
        {"no pins, no signed descriptor", VORN_SIGNED_UPDATER, false,
         "self_update_untrusted_component"},
        {"signed, then altered", VORN_ALTERED_UPDATER, true, "self_update_signature"},
        {"signed by another signer", VORN_OTHER_SIGNER_UPDATER, true, "self_update_signature"},
        {"signed by the pinned signer", VORN_SIGNED_UPDATER, true, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Release release(server, "signal");
        release.new_launcher = pinned;  // a signed program: the pins hold for it too
        test::write_raw_file(release.served / L"VornellLauncher.exe", pinned);
        const std::string published = test::read_raw_file(fs::path(row.published));
        release.publish("primary.json", "2026.10.26.10", published);
        if (row.pins) {
            release.run.context.signer_pins = {VORN_TEST_SIGNER_PIN};
        }
        EXPECT_EQ(run_self_update(release.run), *row.stage == '\0');
        if (*row.stage == '\0') {
            EXPECT_EQ(test::read_raw_file(release.run.context.updater_path), published);
            continue;
        }
        ASSERT_EQ(release.reports.size(), 1u);
        EXPECT_EQ(release.reports[0].stage, row.stage);
        // The refused download leaves no staging copy, and the old component stays.
        EXPECT_EQ(test::read_raw_file(release.run.context.updater_path),
                  test::read_raw_file(fs::path(VORN_FAKE_UPDATER)));
        EXPECT_FALSE(
            fs::exists(release.root / L"element" /
                       (L"VornellUpdater.update." + to_utf16(sha256_string(published)) + L".exe")));
    }
}

TEST(SelfUpdate, ABlockedDigestCountsOnlyWhileItsHandOverIsHeld) {
    VORN_REQUIRE_LOOPBACK(server);
    struct Row {
        const char* what;
        const char* holder;  // the run record, or nullptr for none
        bool offered;
    };
    const Row rows[] = {
        {"kept on purpose: no holder", nullptr, false},
        {"held by a process that was killed", "pid=4000000000\r\nstarted=1\r\n", true},
        {"a damaged record holds nothing", "pid=\r\n", true},
        {"held by this live process", "", false},  // "": recorded below
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Release release(server, "signal");
        release.publish("primary.json", "2026.10.26.10");
        test::write_raw_file(release.state / blocked_digest_file_name,
                             sha256_string(release.new_launcher) + "\r\n");
        if (row.holder && *row.holder) {
            test::write_raw_file(release.state / run_holder_file_name, row.holder);
        } else if (row.holder) {
            record_run_holder(release.state.path(), GetCurrentProcess());
        }
        EXPECT_EQ(run_self_update(release.run), row.offered);
        EXPECT_TRUE(release.reports.empty());
        if (!row.offered) {
            EXPECT_EQ(read_digest_file(release.state / blocked_digest_file_name),
                      sha256_string(release.new_launcher));
        }
    }
}

TEST(SelfUpdate, AnUnprovenBuildThatRunsAgainIsPutBackThroughTheUpdater) {
    VORN_REQUIRE_LOOPBACK(server);
    struct Row {
        const char* what;
        bool running_is_unproven;  // the record names this very program
        bool live_holder;
        bool restored;
    };
    const Row rows[] = {
        {"its proof was cut short", true, false, true},
        {"its proof still runs", true, true, false},
        {"another build runs now", false, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Release release(server, "signal");
        const std::string running = sha256_file(running_program_path());
        const UnprovenBuild unproven{row.running_is_unproven ? running : std::string(64, 'd'),
                                     std::string(64, 'c')};
        record_unproven_build(release.state.path(), unproven);
        if (row.live_holder) {
            record_run_holder(release.state.path(), GetCurrentProcess());
        }
        EXPECT_EQ(run_self_update(release.run), row.restored);
        EXPECT_TRUE(release.reports.empty());
        const fs::path args = release.root / L"element" / L"fake-updater-args.txt";
        EXPECT_EQ(fs::exists(args), row.restored);
        if (row.restored) {
            const std::string text = test::read_raw_file(args);
            EXPECT_TRUE(text.starts_with("--restore\n")) << text;
            EXPECT_NE(text.find(running + "\n"), std::string::npos) << text;
        }
        // A record that names another build is dropped; one still proving itself stays.
        EXPECT_EQ(read_unproven_build(release.state.path()).has_value(), row.running_is_unproven);
    }
}

}  // namespace
}  // namespace vorn
