#include <gtest/gtest.h>

#include "app/error_snapshot.h"
#include "app/launcher_worker.h"
#include "engine_fixture.h"

namespace vorn {
namespace {

using nlohmann::json;

// Waits for the worker to publish the end of its action.
UiView finished_view(const LauncherWorker& worker, const UiChannel& channel) {
    for (int i = 0; i < 500 && worker.operation_running(); ++i) {
        Sleep(20);
    }
    EXPECT_FALSE(worker.operation_running());
    return channel.latest();
}

TEST(ErrorView, FollowsTheErrorAndTheReport) {
    UiSnapshot base;
    base.client_version = "7";
    LauncherError manifest("manifest_http", L"Не удалось получить описание обновлений.");
    manifest.event = "manifest_failed";
    UiSnapshot view = make_error_snapshot(manifest, "0a1b", base, Busy::no);
    EXPECT_EQ(phase_number(view.phase), 9);
    EXPECT_EQ(view.title, L"Ошибка получения обновлений");
    EXPECT_EQ(view.detail, L"Не удалось получить описание обновлений.");
    EXPECT_EQ(view.hint, L"Код отчёта: 0a1b");
    EXPECT_EQ(view.client_version, "7");
    EXPECT_FALSE(view.can_play);
    EXPECT_TRUE(view.can_update);

    view = make_error_snapshot(LauncherError("local_io", L""), "", base, Busy::yes);
    EXPECT_EQ(view.title, L"Проверка не завершена");
    EXPECT_EQ(view.detail, L"Не удалось завершить операцию. Повторите попытку.");
    EXPECT_EQ(view.hint, L"Повторите проверку или обновление.");
    EXPECT_TRUE(view.busy);
    EXPECT_FALSE(view.can_update);
}

TEST(Worker, PlayInTheLocalTestIsAnErrorView) {
    test::EngineFixture fixture;
    const auto channel = std::make_shared<UiChannel>();
    LauncherWorker worker(fixture.engine().services.config, channel);
    worker.start_action(UiAction::play);
    const UiView view = finished_view(worker, *channel);
    EXPECT_EQ(phase_number(view.phase), 9);
    EXPECT_EQ(view.detail, L"Запуск игры отключён в локальной проверке.");
    EXPECT_FALSE(view.busy);
    EXPECT_TRUE(view.can_update);
    EXPECT_FALSE(view.can_play);
}

TEST(Worker, AnActionWhileBusyIsDropped) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    const std::vector<test::ClientFile> files = {{"element/a.pck", "alpha"}};
    fixture.install(files);
    fixture.publish(test::manifest_of(files));
    // The manifest comes late, so the check is still running when the update is asked for.
    server.answer(fixture.prefix() + "manifest.json",
                  json::array({{{"delay_ms", 800},
                                {"body_file", fixture.prefix().substr(1) + "manifest.json"}}}),
                  "GET");
    const auto channel = std::make_shared<UiChannel>();
    LauncherWorker worker(fixture.engine().services.config, channel);
    worker.start_action(UiAction::check);
    EXPECT_TRUE(channel->latest().busy);
    worker.start_action(UiAction::update);
    const UiView view = finished_view(worker, *channel);
    EXPECT_EQ(view.title, L"Проверка завершена");  // an update would end "Клиент готов к игре"
    EXPECT_FALSE(view.busy);
    EXPECT_FALSE(view.can_play);  // never in a local test
    Sleep(200);
    EXPECT_FALSE(worker.operation_running());
    EXPECT_EQ(channel->latest().title, L"Проверка завершена");
}

}  // namespace
}  // namespace vorn
