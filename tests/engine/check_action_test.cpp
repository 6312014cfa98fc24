#include <gtest/gtest.h>

#include "core/file_probes.h"
#include "engine/actions/action_errors.h"
#include "engine/actions/engine_actions.h"
#include "engine/client/client_place.h"
#include "engine/client/repair_state.h"
#include "engine/manifest/installed_receipt.h"
#include "engine_fixture.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

const std::vector<test::ClientFile> files = {{"element/a.pck", "alpha"},
                                             {"element/b.pck", "beta"},
                                             {"element/c.pck", "gamma"},
                                             {"element/d.pck", "delta"}};

TEST(CheckAction, CleanClientGetsAReceiptAndDamageKeepsTheMarker) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.install(files);
    fixture.publish(test::manifest_of(files, "9"));
    UpdateEngine& engine = fixture.engine();

    UiSnapshot view = run_engine_action(engine, Action::check);
    EXPECT_EQ(phase_number(view.phase), 8);
    EXPECT_EQ(view.title, L"Проверка завершена");
    EXPECT_EQ(view.detail, L"Все файлы клиента прошли проверку.");
    EXPECT_EQ(view.hint, L"Игровые файлы не изменялись.");
    EXPECT_TRUE(view.can_play);
    EXPECT_TRUE(read_installed_receipt(engine.client).valid);
    EXPECT_FALSE(file_exists(engine.client.marker_path));

    fixture.write("element/a.pck", "ALPHA");  // same size, other content
    fixture.write("element/b.pck", "longer beta");
    std::filesystem::remove(fixture.root() / L"element" / L"c.pck");
    view = run_engine_action(engine, Action::check);
    EXPECT_EQ(phase_number(view.phase), 2);
    EXPECT_EQ(view.title, L"Нужно обновление клиента");
    EXPECT_EQ(view.detail, L"Требуют восстановления: 3 файлов.");
    EXPECT_EQ(view.hint, L"Нажмите «Обновить» для установки.");
    EXPECT_FALSE(view.can_play);
    EXPECT_TRUE(view.can_update);
    EXPECT_FALSE(reports_clean(engine));
    EXPECT_TRUE(file_exists(engine.client.marker_path));

    // The next run shows the damage without scanning.
    fixture.restart();
    view = run_engine_action(fixture.engine(), Action::startup);
    EXPECT_EQ(view.title, L"Нужна проверка клиента");
}

TEST(CheckAction, FailureLeavesTheClientUnverifiedAndCountsTheFiles) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.install(files);
    fixture.publish(test::manifest_of(files));
    ASSERT_EQ(run_engine_action(fixture.engine(), Action::check).phase, Phase::ready);
    std::filesystem::remove(fixture.root() / L"element" / L"d.pck");
    std::filesystem::create_directory(fixture.root() / L"element" / L"d.pck");

    const auto error =
        test::capture_error([&] { run_engine_action(fixture.engine(), Action::check); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "file_safety");
    EXPECT_EQ(error->file_count, 4u);
    EXPECT_TRUE(error->parse_ok);
    EXPECT_FALSE(reports_clean(fixture.engine()));
    EXPECT_FALSE(fixture.engine().state.view.snapshot.busy);
    EXPECT_FALSE(fixture.engine().state.view.snapshot.can_play);
}

TEST(CheckAction, InterruptedUpdateMustBeFinishedFirst) {
    test::EngineFixture fixture;
    test::write_raw_file(fixture.engine().client.transaction_path, "{}");
    for (const Action action : {Action::check, Action::icons}) {
        VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), action), "recovery_required",
                          L"Сначала нажмите «Обновить», чтобы завершить восстановление.");
    }
}

TEST(CheckAction, WrongBaseNamesTheArchive) {
    test::EngineFixture fixture;
    LauncherError named("delta_wrong_base", L"x");
    named.archive_path = "element/gfx.pck";
    prepare_error_for_user(fixture.engine().state, named);
    EXPECT_EQ(named.message,
              L"Не подходит архив element/gfx.pck. Исходная версия отличается от "
              L"пакета обновления. Нужен совместимый пакет.");
    LauncherError unnamed("delta_wrong_base", L"x");
    prepare_error_for_user(fixture.engine().state, unnamed);
    EXPECT_EQ(unnamed.message,
              L"Архивы клиента. Исходная версия отличается от пакета обновления. "
              L"Нужен совместимый пакет.");
    EXPECT_FALSE(unnamed.parse_ok);  // no manifest loaded
}

}  // namespace
}  // namespace vorn
