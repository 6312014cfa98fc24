#include <gtest/gtest.h>

#include <thread>

#include "core/file_system.h"
#include "engine/actions/action_manifest.h"
#include "engine/actions/engine_actions.h"
#include "engine/actions/startup_check.h"
#include "engine/client/repair_state.h"
#include "engine/manifest/installed_receipt.h"
#include "engine/manifest/manifest_fetch.h"
#include "engine_fixture.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

using nlohmann::json;

const std::vector<test::ClientFile> files = {{"element/a.pck", "alpha"}, {"element/b.pck", "beta"}};
const wchar_t* const ready = L"Клиент готов к игре";
const wchar_t* const unknown = L"Доступность новых обновлений сейчас неизвестна.";

class Startup : public ::testing::Test {
  protected:
    // A client verified against the published manifest in an earlier run.
    void verified(test::EngineFixture& fixture, const test::LoopbackServer& server) {
        fixture.install(files);
        fixture.publish(test::manifest_of(files, "4"));
        write_installed_receipt(fixture.engine().client, fixture.engine().state.view,
                                load_manifest(fixture.engine()));
        fixture.restart();
        fixture.views.clear();
        server.reset(fixture.prefix());
    }
    static std::vector<std::string> methods(const test::LoopbackServer& server,
                                            const std::string& prefix) {
        std::vector<std::string> seen;
        for (const json& record : server.requests(prefix)) {
            seen.push_back(record["method"].get<std::string>() + " " +
                           record["path"].get<std::string>().substr(prefix.size()));
        }
        return seen;
    }
    static void expect_view(const UiSnapshot& view, std::int32_t phase, const std::wstring& title,
                            const std::wstring& detail, bool can_play) {
        EXPECT_EQ(phase_number(view.phase), phase);
        EXPECT_EQ(view.title, title);
        EXPECT_EQ(view.detail, detail);
        EXPECT_EQ(view.can_play, can_play);
        EXPECT_FALSE(view.busy);
        EXPECT_TRUE(view.can_update);
    }
};

TEST_F(Startup, MatchingHeadIsAllItTakes) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    verified(fixture, server);
    const std::string receipt_before = test::read_raw_file(fixture.engine().client.receipt_path);

    const UiSnapshot view = run_engine_action(fixture.engine(), Action::startup);
    expect_view(view, 8, ready, L"Новых обновлений нет.", true);
    EXPECT_EQ(view.hint, L"Полная сверка доступна кнопкой «Проверить».");
    EXPECT_EQ(view.client_version, "4");
    EXPECT_EQ(methods(server, fixture.prefix()), std::vector<std::string>{"HEAD manifest.json"});
    EXPECT_EQ(test::read_raw_file(fixture.engine().client.receipt_path), receipt_before);
    EXPECT_TRUE(reports_clean(fixture.engine()));
    ASSERT_GE(fixture.views.size(), 2u);
    EXPECT_EQ(fixture.views.front().title, L"Проверяем наличие обновлений");
    EXPECT_TRUE(fixture.views.front().busy);
}

TEST_F(Startup, RepairThatAppearsDuringTheHeadIsShown) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    verified(fixture, server);
    // A matching HEAD that takes long enough for a repair marker to appear meanwhile.
    const InstalledReceipt receipt = read_installed_receipt(fixture.engine().client);
    server.answer(fixture.prefix() + "manifest.json",
                  json::array({{{"delay_ms", 800},
                                {"headers", {{"ETag", receipt.etag}}},
                                {"body_file", fixture.prefix().substr(1) + "manifest.json"}}}),
                  "HEAD");
    std::thread marker([&] {
        Sleep(300);
        test::write_raw_file(fixture.engine().client.marker_path, "x");
    });
    const UiSnapshot view = run_engine_action(fixture.engine(), Action::startup);
    marker.join();
    expect_view(view, 2, L"Требуется завершить обновление",
                L"Состояние клиента изменилось во время проверки.", false);
    EXPECT_EQ(methods(server, fixture.prefix()), std::vector<std::string>{"HEAD manifest.json"});
}

TEST_F(Startup, WithoutTheServerAVerifiedClientStaysPlayable) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    verified(fixture, server);
    const json unavailable = json::array({{{"status", 503}, {"repeat", 20}}});
    server.answer(fixture.prefix() + "manifest.json", unavailable);
    server.answer(fixture.prefix() + "manifest.json.gz", unavailable);

    UiSnapshot view = run_engine_action(fixture.engine(), Action::startup);
    expect_view(view, 8, ready, L"Сохранена последняя успешная проверка клиента.", true);
    EXPECT_EQ(view.hint, unknown);

    fixture.engine().services.report = [](const LauncherError& error, Action action) {
        EXPECT_EQ(error.event, "manifest_failed");
        EXPECT_EQ(action, Action::startup);
        return std::string("0a1b2c");
    };
    view = run_engine_action(fixture.engine(), Action::startup);
    EXPECT_EQ(view.detail, L"Диагностика сохранена. Код: 0a1b2c");
    fixture.engine().services.report = [](const LauncherError&, Action) {
        return std::string("not hex");
    };
    view = run_engine_action(fixture.engine(), Action::startup);
    EXPECT_EQ(view.detail, L"Сохранена последняя успешная проверка клиента.");

    // HEAD not supported and the manifest unavailable: still the last good check.
    server.reset(fixture.prefix());
    server.answer(fixture.prefix() + "manifest.json",
                  json::array({{{"status", 405}, {"repeat", 5}}}), "HEAD");
    server.answer(fixture.prefix() + "manifest.json", unavailable, "GET");
    view = run_engine_action(fixture.engine(), Action::startup);
    expect_view(view, 8, ready, L"Сохранена последняя успешная проверка клиента.", true);
    EXPECT_EQ(view.hint, unknown);
}

TEST_F(Startup, WithoutReceiptOrServerItIsAnError) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.install(files);  // nothing published: 404
    const auto error =
        test::capture_error([&] { run_engine_action(fixture.engine(), Action::startup); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->event, "manifest_failed");
    EXPECT_FALSE(reports_clean(fixture.engine()));
}

TEST_F(Startup, HeadNotSupportedFetchesTheManifestAndRenewsTheReceipt) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    verified(fixture, server);
    const std::string receipt_before = test::read_raw_file(fixture.engine().client.receipt_path);
    server.answer(fixture.prefix() + "manifest.json",
                  json::array({{{"status", 405}, {"repeat", 5}}}), "HEAD");
    Sleep(1100);  // a new verified_at_utc

    const UiSnapshot view = run_engine_action(fixture.engine(), Action::startup);
    expect_view(view, 8, ready, L"Новых обновлений нет.", true);
    const auto seen = methods(server, fixture.prefix());
    EXPECT_EQ(seen.back(), "GET manifest.json");
    EXPECT_NE(test::read_raw_file(fixture.engine().client.receipt_path), receipt_before);
}

TEST_F(Startup, NewManifestOrUnverifiedClientNeedsAnUpdate) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    verified(fixture, server);
    fixture.publish(test::manifest_of({{"element/a.pck", "alpha2"}}, "5"));

    UiSnapshot view = run_engine_action(fixture.engine(), Action::startup);
    expect_view(view, 2, L"Доступно обновление", L"Нажмите «Обновить» для проверки и установки.",
                false);
    EXPECT_EQ(view.hint, L"Кнопка «Проверить» сверяет файлы без установки.");
    EXPECT_EQ(view.client_version, "5");

    mark_repair_required(fixture.engine().client,
                         fixture.engine().state.view);  // a check found damage earlier
    view = run_engine_action(fixture.engine(), Action::startup);
    expect_view(view, 2, L"Нужна проверка клиента", L"Нажмите «Обновить» для проверки и установки.",
                false);
}

TEST_F(Startup, InterruptedUpdateAsksToFinishIt) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    verified(fixture, server);
    for (const auto& journal : {fixture.engine().client.transaction_path,
                                fixture.root() / L".vorn-delta-journal-v1.json"}) {
        test::write_raw_file(journal, "{}");
        const UiSnapshot view = run_engine_action(fixture.engine(), Action::startup);
        expect_view(view, 2, L"Требуется завершить обновление",
                    L"Предыдущее обновление было прервано.", false);
        EXPECT_EQ(view.hint, L"Нажмите «Обновить» для восстановления.");
        std::filesystem::remove(journal);
    }
    EXPECT_TRUE(methods(server, fixture.prefix()).empty());
}

TEST_F(Startup, LegacyReceiptCountsOnlyWhileTheHeadMatches) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    verified(fixture, server);
    const InstalledReceipt current = read_installed_receipt(fixture.engine().client);
    std::filesystem::remove(fixture.engine().client.receipt_path);
    test::Legacy legacy = test::legacy_for(fixture.root());
    legacy.key = current.manifest_key;
    legacy.version = current.version;
    legacy.etag = std::wstring(current.etag.begin(), current.etag.end());
    legacy.length = static_cast<std::uint32_t>(current.content_length);
    const std::filesystem::path file = fixture.cache_dir() / L"installed-v1.bin";
    test::write_raw_file(file, test::legacy_bytes(legacy));

    UiSnapshot view = run_engine_action(fixture.engine(), Action::startup);
    expect_view(view, 8, ready, L"Новых обновлений нет.", true);

    // Same manifest key, but the HEAD no longer matches: a legacy receipt is not renewed.
    legacy.etag = L"\"older\"";
    test::write_raw_file(file, test::legacy_bytes(legacy));
    view = run_engine_action(fixture.engine(), Action::startup);
    expect_view(view, 2, L"Доступно обновление", L"Нажмите «Обновить» для проверки и установки.",
                false);
}

}  // namespace
}  // namespace vorn
