#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/pck_format.h"
#include "core/file_probes.h"
#include "core/sha256.h"
#include "engine/actions/engine_actions.h"
#include "engine_fixture.h"
#include "guild_set.h"
#include "support/delta_document.h"
#include "support/launcher_error_assert.h"
#include "support/pck_keys.h"
#include "support/pck_writer.h"

namespace vorn {
namespace {

using test::writer_keys;

namespace fs = std::filesystem;
using nlohmann::json;
using test::PckWriterArchive;

std::map<std::string, std::string> entries_of(const std::string& archive) {
    std::map<std::string, std::string> entries;
    for (auto& [name, data] : test::read_pck_entries(archive, writer_keys())) {
        entries[name] = data;
    }
    return entries;
}

// The package's base, its target (the base with a tail appended: m2 changed, m4 new), and
// a player's copy that differs from both (m1 changed, an extra member).
struct Archives {
    std::string base;
    std::string target;
    std::string player;
};

Archives archives(const std::string& folder = "models") {
    PckWriterArchive base;
    base.keys = writer_keys();
    base.entries = {
        {.name = folder + "\\m1.ski", .content = std::string(4000, '1')},
        {.name = folder + "\\m2.ski", .content = std::string(3000, '2'), .compressed = true},
        {.name = folder + "\\m3.ski", .content = "three"}};
    const test::PckImage base_image = test::build_pck(base);
    Archives made;
    made.base = base_image.flat();

    PckWriterArchive target = base;
    const std::uint64_t end = base_image.size;
    target.entries[0].data_offset = base_image.data_offsets[0];
    target.entries[1] = {
        .name = folder + "\\m2.ski", .content = "m2, second edition", .data_offset = end};
    target.entries[2].data_offset = base_image.data_offsets[2];
    target.entries.push_back({.name = folder + "\\m4.ski", .content = "four, new"});
    const test::PckImage target_image = test::build_pck(target);
    made.target = made.base + target_image.bytes(end, target_image.size - end);
    const std::string size = target_image.bytes(4, 4);
    made.target.replace(4, 4, size);

    PckWriterArchive player = base;
    player.entries[0].content = std::string(4000, 'P');
    player.entries.push_back({.name = folder + "\\extra.ski", .content = "the player's own"});
    made.player = test::build_pck(player).flat();
    return made;
}

class ArchiveRebase : public ::testing::Test {
  protected:
    // A client at the player's copy of models.pck; the feed's manifest lists the target
    // and its package appends the tail to the base.
    void serve(test::EngineFixture& fixture, const Archives& made) {
        serve(fixture, made, std::nullopt);
    }

    // With `gfx`, a second archive of the package (at its base in the client).
    void serve(test::EngineFixture& fixture, const Archives& made,
               const std::optional<Archives>& gfx) {
        std::vector<test::ClientFile> listed = {{"element/models.pck", made.target},
                                                {"element/other.dat", "other"}};
        std::vector<test::ClientFile> installed = {{"element/models.pck", made.player},
                                                   {"element/other.dat", "other"}};
        std::vector<test::PackageFile> files = {
            {"element/models.pck", made.base, made.target, true}};
        if (gfx) {
            listed.push_back({"element/gfx.pck", gfx->target});
            installed.push_back({"element/gfx.pck", gfx->base});
            files.push_back({"element/gfx.pck", gfx->base, gfx->target, true});
        }
        fixture.install(installed);
        const test::DeltaDocument package = test::delta_document(files);
        for (const auto& [name, stored] : package.payloads) {
            test::write_raw_file(fixture.feed_dir() / L"blobs" / fs::path(name).make_preferred(),
                                 stored);
        }
        test::write_raw_file(fixture.feed_dir() / L"blobs" / L"delta.json", package.text);
        json manifest = test::manifest_of(listed);
        manifest["delta"] = {{"url", "delta.json"},
                             {"sha256", sha256_string(package.text)},
                             {"size", package.text.size()}};
        fixture.serve_blob(sha256_string("other"), "other");
        fixture.publish(manifest);
        fixture.write("element/surfaces.pck", test::surfaces_archive());
        fixture.serve_guild("klan/", "1", test::guild_list, test::guild_png());
    }
};

TEST_F(ArchiveRebase, APlayersArchiveIsRebuiltWithTheTailAndAcceptedFromThenOn) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    const Archives made = archives();
    serve(fixture, made);

    UiSnapshot view = run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(view.title, L"Клиент готов к игре");
    EXPECT_EQ(view.detail, L"Обновление установлено и проверено.");
    const std::string rebuilt = *fixture.content_of("element/models.pck");
    const auto entries = entries_of(rebuilt);
    EXPECT_EQ(entries.at("models\\m1.ski"), std::string(4000, 'P'));  // the player's own
    EXPECT_EQ(entries.at("models\\m2.ski"), "m2, second edition");    // from the tail
    EXPECT_EQ(entries.at("models\\m3.ski"), "three");
    EXPECT_EQ(entries.at("models\\extra.ski"), "the player's own");
    EXPECT_EQ(entries.at("models\\m4.ski"), "four, new");
    EXPECT_EQ(entries.size(), 5u);
    const fs::path state = fixture.cache_dir() / L"archive-rebase-state-v1.json";
    ASSERT_TRUE(fs::exists(state));
    EXPECT_EQ(json::parse(test::read_raw_file(state))["groups"][0]["files"][0]["sha256"],
              sha256_string(rebuilt));
    bool said_so = false;
    for (const UiSnapshot& seen : fixture.views) {
        said_so = said_so || seen.title == L"Повторная полная загрузка архива не требуется.";
    }
    EXPECT_TRUE(said_so);

    // The receipt vouches for the rebuilt archive: the check passes and the next update
    // neither rebuilds nor downloads anything.
    EXPECT_EQ(run_engine_action(fixture.engine(), Action::check).title, L"Проверка завершена");
    const auto written = fs::last_write_time(state);
    server.reset(fixture.prefix());
    view = run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(view.detail, L"Все файлы уже актуальны.");
    EXPECT_EQ(*fixture.content_of("element/models.pck"), rebuilt);
    EXPECT_EQ(fs::last_write_time(state), written);
    for (const json& request : server.requests(fixture.prefix())) {
        EXPECT_EQ(request.at("path").get<std::string>().find("/payload/"), std::string::npos);
    }
}

TEST_F(ArchiveRebase, ALaterRebaseKeepsTheEarlierArchivesRecorded) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    const Archives models = archives();
    const Archives gfx = archives("gfx");
    serve(fixture, models, gfx);
    EXPECT_EQ(run_engine_action(fixture.engine(), Action::update).title, L"Клиент готов к игре");
    const std::string rebuilt_models = *fixture.content_of("element/models.pck");
    // Now the player changes the other archive of the same package.
    fixture.write("element/gfx.pck", gfx.player);
    EXPECT_EQ(run_engine_action(fixture.engine(), Action::update).detail,
              L"Обновление установлено и проверено.");
    EXPECT_EQ(*fixture.content_of("element/models.pck"), rebuilt_models);
    const json state =
        json::parse(test::read_raw_file(fixture.cache_dir() / L"archive-rebase-state-v1.json"));
    EXPECT_EQ(state["groups"].size(), 2u);
    EXPECT_EQ(run_engine_action(fixture.engine(), Action::check).title, L"Проверка завершена");
}

TEST_F(ArchiveRebase, AnArchiveAtTheBaseOrTheTargetIsNotRebuilt) {
    VORN_REQUIRE_LOOPBACK(server);
    for (const bool at_target : {false, true}) {
        SCOPED_TRACE(at_target ? "target" : "base");
        test::EngineFixture fixture(&server);
        const Archives made = archives();
        serve(fixture, made);
        fixture.write("element/models.pck", at_target ? made.target : made.base);
        EXPECT_EQ(run_engine_action(fixture.engine(), Action::update).title,
                  L"Клиент готов к игре");
        EXPECT_EQ(*fixture.content_of("element/models.pck"), made.target);
        EXPECT_FALSE(fs::exists(fixture.cache_dir() / L"archive-rebase-state-v1.json"));
    }
}

TEST_F(ArchiveRebase, ADamagedTailCacheStopsThisRunOnly) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    const Archives made = archives();
    serve(fixture, made);
    const std::string tail = made.target.substr(made.base.size());
    const fs::path cache =
        fixture.cache_dir() / L"archive-tails-v1" / (sha256_string(tail) + ".bin");
    fs::create_directories(cache.parent_path());
    test::write_raw_file(cache, std::string(tail.size(), 'x'));
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::update), "delta_rebase_cache",
                      L"Сохранённые данные архива повреждены. Проверка остановлена.");
    EXPECT_FALSE(fs::exists(cache));
    EXPECT_EQ(*fixture.content_of("element/models.pck"), made.player);

    EXPECT_EQ(run_engine_action(fixture.engine(), Action::update).title, L"Клиент готов к игре");
    EXPECT_EQ(entries_of(*fixture.content_of("element/models.pck")).at("models\\m4.ski"),
              "four, new");
}

TEST_F(ArchiveRebase, WhatCannotBeRebasedIsRefusedBeforeAnyChange) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    const Archives made = archives();
    serve(fixture, made);
    // Not an archive at all: the rebase cannot read it, the player's file stays.
    fixture.write("element/models.pck", "not an archive, but the player's");
    const auto error =
        test::capture_error([&] { run_engine_action(fixture.engine(), Action::update); });
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->stage.starts_with("pck_rebase_")) << error->stage;
    EXPECT_EQ(*fixture.content_of("element/models.pck"), "not an archive, but the player's");
    EXPECT_FALSE(file_exists(fixture.engine().client.transaction_path));
    const fs::path transactions = fixture.root() / L"element" / L".vornell-transactions";
    EXPECT_TRUE(!fs::exists(transactions) || fs::is_empty(transactions));
}

}  // namespace
}  // namespace vorn
