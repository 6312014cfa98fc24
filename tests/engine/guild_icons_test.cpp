#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/file_probes.h"
#include "core/sha256.h"
#include "engine/actions/engine_actions.h"
#include "engine/manifest/installed_receipt.h"
#include "engine_fixture.h"
#include "guild/guild_state.h"
#include "guild/png_to_dds.h"
#include "guild_set.h"
#include "support/delta_document.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string original_surfaces = test::surfaces_archive();

// A client with a surfaces archive, its feed, and the icon set at the guild address.
class GuildIcons : public ::testing::Test {
  protected:
    void set_up(test::EngineFixture& fixture) {
        const std::vector<test::ClientFile> files = {{"element/a.pck", "alpha"},
                                                     {"element/surfaces.pck", original_surfaces}};
        fixture.install(files);
        for (const test::ClientFile& file : files) {
            fixture.serve_blob(sha256_string(file.content), file.content);
        }
        fixture.publish(test::manifest_of(files));
        fixture.serve_guild("klan/", "v1", test::guild_list, test::guild_png(0));
    }
    static std::string surfaces(test::EngineFixture& fixture) {
        return *fixture.content_of("element/surfaces.pck");
    }
    static std::optional<GuildState> state(test::EngineFixture& fixture) {
        return read_guild_state(
            {fixture.engine().client.guild_state_path, fixture.engine().client.key});
    }
    static bool transaction_folders_left(test::EngineFixture& fixture) {
        const fs::path folder = fixture.root() / L"element" / L".vornell-transactions";
        return fs::exists(folder) && !fs::is_empty(folder);
    }
    // Paths the server was asked for under the fixture's prefix, in order.
    static std::vector<std::string> asked(const test::LoopbackServer& server,
                                          const test::EngineFixture& fixture) {
        std::vector<std::string> paths;
        for (const json& record : server.requests(fixture.prefix())) {
            paths.push_back(record.at("path").get<std::string>().substr(fixture.prefix().size()));
        }
        return paths;
    }
};

// The archive holds exactly the set's atlas and list, and every foreign entry as it was.
void expect_icons(const std::string& archive, const std::string& png) {
    const auto before = test::archive_entries(original_surfaces);
    const auto after = test::archive_entries(archive);
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [name, data] : before) {
        if (name.find("iconlist_guild") == std::string::npos) {
            EXPECT_EQ(after.at(name), data) << name;
        }
    }
    const Bytes dds = png_to_dds(Bytes(png.begin(), png.end()));
    EXPECT_EQ(after.at("surfaces\\iconset\\iconlist_guild.dds"),
              std::string(dds.begin(), dds.end()));
    EXPECT_EQ(after.at("surfaces\\iconset\\iconlist_guild.txt"), test::guild_list);
}

TEST_F(GuildIcons, UpdateInstallsTheSetAndEveryLaterCheckAcceptsIt) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    set_up(fixture);

    UiSnapshot view = run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(view.title, L"Клиент готов к игре");
    EXPECT_TRUE(view.can_play);
    expect_icons(surfaces(fixture), test::guild_png(0));
    ASSERT_TRUE(state(fixture));
    EXPECT_EQ(state(fixture)->version, "v1");
    EXPECT_EQ(state(fixture)->base_sha256, sha256_string(original_surfaces));
    EXPECT_EQ(state(fixture)->patched_sha256, sha256_string(surfaces(fixture)));
    EXPECT_EQ(state(fixture)->png_sha256, sha256_string(test::guild_png(0)));
    EXPECT_EQ(state(fixture)->text_sha256, sha256_string(test::guild_list));
    EXPECT_FALSE(file_exists(fixture.engine().client.marker_path));
    EXPECT_FALSE(transaction_folders_left(fixture));

    // The patched archive is vouched for: the check and the next update find nothing.
    EXPECT_EQ(run_engine_action(fixture.engine(), Action::check).title, L"Проверка завершена");
    EXPECT_EQ(run_engine_action(fixture.engine(), Action::update).detail,
              L"Все файлы уже актуальны.");

    // An unchanged set: only the version is asked for and nothing is written.
    const std::string patched = surfaces(fixture);
    server.reset(fixture.prefix());
    view = run_engine_action(fixture.engine(), Action::icons);
    EXPECT_EQ(view.title, L"Иконки кланов обновлены");
    EXPECT_EQ(view.detail, L"Посторонние файлы архива сохранены.");
    EXPECT_TRUE(view.can_play);
    EXPECT_EQ(surfaces(fixture), patched);
    EXPECT_EQ(asked(server, fixture), std::vector<std::string>{"klan/version.txt"});

    // A new set replaces the icons again; the base stays the manifest's archive.
    fixture.serve_guild("klan/", "v2\r\n", test::guild_list, test::guild_png(7));
    run_engine_action(fixture.engine(), Action::icons);
    expect_icons(surfaces(fixture), test::guild_png(7));
    EXPECT_EQ(state(fixture)->version, "v2");
    EXPECT_EQ(state(fixture)->base_sha256, sha256_string(original_surfaces));
    EXPECT_EQ(run_engine_action(fixture.engine(), Action::check).title, L"Проверка завершена");
}

// Each new set takes the place of the icons the launcher wrote last, right before the index:
// twenty versions leave the archive at the size of the first.
TEST_F(GuildIcons, TwentyIconVersionsDoNotGrowTheArchive) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    set_up(fixture);
    run_engine_action(fixture.engine(), Action::icons);
    const std::size_t first = surfaces(fixture).size();
    for (int version = 2; version <= 20; ++version) {
        const std::string stamp = std::to_string(version);
        fixture.serve_guild("klan/", stamp, test::guild_list, test::guild_png(version));
        run_engine_action(fixture.engine(), Action::icons);
        ASSERT_EQ(state(fixture)->version, stamp);
        ASSERT_EQ(surfaces(fixture).size(), first) << version;
    }
    expect_icons(surfaces(fixture), test::guild_png(20));
    EXPECT_EQ(run_engine_action(fixture.engine(), Action::check).title, L"Проверка завершена");
}

TEST_F(GuildIcons, AnArchiveChangedByAnotherProgramBecomesTheNewBase) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    set_up(fixture);
    run_engine_action(fixture.engine(), Action::icons);
    // The game's own patcher puts back an archive of its own.
    fixture.write("element/surfaces.pck", original_surfaces);
    run_engine_action(fixture.engine(), Action::icons);
    expect_icons(surfaces(fixture), test::guild_png(0));
    EXPECT_EQ(state(fixture)->base_sha256, sha256_string(original_surfaces));
    EXPECT_EQ(state(fixture)->patched_sha256, sha256_string(surfaces(fixture)));
}

TEST_F(GuildIcons, TheFallbackAddressServesWhenTheBaseDoesNot) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    set_up(fixture);
    fs::remove_all(fixture.feed_dir() / L"klan");
    fixture.serve_guild("mirror/", "v1", test::guild_list, test::guild_png(0));
    run_engine_action(fixture.engine(), Action::icons);
    expect_icons(surfaces(fixture), test::guild_png(0));
    const std::vector<std::string> paths = asked(server, fixture);
    ASSERT_GE(paths.size(), 2u);
    EXPECT_EQ(paths[0], "klan/version.txt");
    EXPECT_EQ(paths[1], "mirror/version.txt");
}

TEST_F(GuildIcons, RefusalsChangeNothing) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    set_up(fixture);
    const auto expect_untouched = [&] {
        EXPECT_EQ(surfaces(fixture), original_surfaces);
        EXPECT_FALSE(state(fixture));
        EXPECT_FALSE(transaction_folders_left(fixture));
        EXPECT_FALSE(file_exists(fixture.engine().client.transaction_path));
    };

    // The version changes between the first and the last look.
    server.answer(fixture.prefix() + "klan/version.txt",
                  json::array({{{"body_text", "v1"}}, {{"body_text", "v2"}}}), "GET");
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::icons), "guild_version_changed",
                      L"Иконки обновились на сервере во время загрузки. Повторите действие.");
    expect_untouched();

    // Something else writes the archive while the new one is prepared.
    std::string theirs = original_surfaces;
    theirs[20] ^= 1;
    fixture.engine().services.fault_point = [&](std::string_view point) {
        if (point == "icons_built") {
            fixture.write("element/surfaces.pck", theirs);
        }
    };
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::icons), "guild_conflict",
                      L"Архив иконок изменился во время подготовки. Повторите действие.");
    EXPECT_EQ(surfaces(fixture), theirs);
    fixture.write("element/surfaces.pck", original_surfaces);
    fixture.engine().services.fault_point = {};
    expect_untouched();

    // A list the game could not read.
    fixture.serve_guild("klan/", "v1", "1\n2\n3\n4\nbad\\name.dds\n", test::guild_png(0));
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::icons), "guild_text",
                      L"В таблице иконок есть недопустимые имена.");
    expect_untouched();

    // Neither address has the set.
    fs::remove_all(fixture.feed_dir() / L"klan");
    const auto error =
        test::capture_error([&] { run_engine_action(fixture.engine(), Action::icons); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "guild_http");
    EXPECT_EQ(error->http_status, 404u);
    expect_untouched();

    fs::remove(fixture.root() / L"element" / L"surfaces.pck");
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::icons), "guild_pck_missing",
                      L"Не найден архив surfaces.pck. Обновите полный клиент.");
}

// A current client whose package replaces surfaces.pck whole keeps its icons: the apply
// accepts the patched archive as verification does, even when the icon host is down.
TEST_F(GuildIcons, APackagedSurfacesArchiveKeepsTheInstalledIcons) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    set_up(fixture);
    const test::DeltaDocument package =
        test::delta_document({{"element/surfaces.pck", original_surfaces, original_surfaces}});
    for (const auto& [name, stored] : package.payloads) {
        test::write_raw_file(fixture.feed_dir() / L"blobs" / fs::path(name).make_preferred(),
                             stored);
    }
    test::write_raw_file(fixture.feed_dir() / L"blobs" / L"delta.json", package.text);
    json manifest = test::manifest_of(
        {{"element/a.pck", "alpha"}, {"element/surfaces.pck", original_surfaces}});
    manifest["delta"] = {{"url", "delta.json"},
                         {"sha256", sha256_string(package.text)},
                         {"size", package.text.size()}};
    fixture.publish(manifest);

    EXPECT_EQ(run_engine_action(fixture.engine(), Action::update).title, L"Клиент готов к игре");
    const std::string patched = surfaces(fixture);
    ASSERT_NE(patched, original_surfaces);
    fs::remove_all(fixture.feed_dir() / L"klan");
    run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(surfaces(fixture), patched);
}

TEST_F(GuildIcons, AnUpdateWhoseIconsFailStillEndsVerified) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    set_up(fixture);
    fs::remove_all(fixture.feed_dir() / L"klan");
    fixture.write("element/a.pck", "damaged");
    const UiSnapshot view = run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(phase_number(view.phase), 8);
    EXPECT_EQ(view.percent, 100);
    EXPECT_EQ(view.title, L"Файлы клиента проверены");
    EXPECT_EQ(view.detail, L"Иконки кланов сейчас недоступны. Повторите кнопкой «Иконки».");
    EXPECT_EQ(view.hint, L"Повторите обновление иконок позже.");
    EXPECT_FALSE(view.busy);
    EXPECT_TRUE(view.can_play);
    EXPECT_EQ(*fixture.content_of("element/a.pck"), "alpha");
    EXPECT_TRUE(read_installed_receipt(fixture.engine().client).valid);
    EXPECT_FALSE(file_exists(fixture.engine().client.marker_path));
}

TEST_F(GuildIcons, AnInterruptedIconInstallIsFinishedByTheNextUpdate) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    set_up(fixture);
    run_engine_action(fixture.engine(), Action::update);
    fixture.serve_guild("klan/", "v2", test::guild_list, test::guild_png(3));
    fixture.engine().services.fault_point = [](std::string_view point) {
        if (point == "journal_written") {
            throw std::runtime_error("crash");
        }
    };
    EXPECT_TRUE(test::capture_error([&] { run_engine_action(fixture.engine(), Action::icons); }));
    ASSERT_TRUE(file_exists(fixture.engine().client.transaction_path));

    UpdateEngine& next = fixture.restart();
    VORN_EXPECT_ERROR(run_engine_action(next, Action::icons), "recovery_required");
    const UiSnapshot view = run_engine_action(next, Action::update);
    EXPECT_EQ(view.title, L"Клиент готов к игре");
    expect_icons(surfaces(fixture), test::guild_png(3));
    EXPECT_FALSE(transaction_folders_left(fixture));
    EXPECT_EQ(run_engine_action(next, Action::check).title, L"Проверка завершена");
}

}  // namespace
}  // namespace vorn
