#include <gtest/gtest.h>

#include "core/file_probes.h"
#include "core/identifiers.h"
#include "core/sha256.h"
#include "engine/actions/engine_actions.h"
#include "engine/client/client_place.h"
#include "engine/manifest/installed_receipt.h"
#include "engine_fixture.h"
#include "guild_set.h"
#include "support/compression.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

const std::vector<test::ClientFile> files = {
    {"element/a.pck", "alpha"}, {"element/b.pck", "beta"}, {"element/sub/c.pck", "gamma"}};

// A feed with the manifest, every blob and the guild icons, and a client installed from
// it with the surfaces archive the icons go into.
class UpdateAction : public ::testing::Test {
  protected:
    void serve(test::EngineFixture& fixture, const nlohmann::json& manifest) {
        for (const test::ClientFile& file : files) {
            fixture.serve_blob(sha256_string(file.content), file.content);
        }
        fixture.publish(manifest);
        fixture.write("element/surfaces.pck", test::surfaces_archive());
        fixture.serve_guild("klan/", "1", test::guild_list, test::guild_png());
    }
    static std::string content(const test::EngineFixture& fixture, const char* path) {
        return test::read_raw_file(fixture.root() / fs::path(path).make_preferred());
    }
};

TEST_F(UpdateAction, RepairsDamageThenFindsNothingToDo) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.install(files);
    serve(fixture, test::manifest_of(files, "3"));
    fixture.write("element/a.pck", "ALPHA");
    fs::remove(fixture.root() / L"element/sub/c.pck");

    UiSnapshot view = run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(phase_number(view.phase), 8);
    EXPECT_EQ(view.title, L"Клиент готов к игре");
    EXPECT_EQ(view.detail, L"Обновление установлено и проверено.");
    EXPECT_TRUE(view.can_play);
    EXPECT_EQ(content(fixture, "element/a.pck"), "alpha");
    EXPECT_EQ(content(fixture, "element/sub/c.pck"), "gamma");
    EXPECT_TRUE(read_installed_receipt(fixture.engine().client).valid);
    EXPECT_FALSE(file_exists(fixture.engine().client.marker_path));
    EXPECT_FALSE(file_exists(fixture.engine().client.transaction_path));
    const bool downloaded =
        std::any_of(fixture.views.begin(), fixture.views.end(),
                    [](const UiSnapshot& v) { return phase_number(v.phase) == 3; });
    EXPECT_TRUE(downloaded);

    const std::string receipt = test::read_raw_file(fixture.engine().client.receipt_path);
    Sleep(1100);  // a new verified_at_utc
    view = run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(view.detail, L"Все файлы уже актуальны.");
    EXPECT_NE(test::read_raw_file(fixture.engine().client.receipt_path), receipt);
}

TEST_F(UpdateAction, InterruptedInstallIsUndoneAndRedone) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.install(files);
    serve(fixture, test::manifest_of(files));
    fixture.write("element/a.pck", "ALPHA");
    fixture.write("element/b.pck", "BETA");
    int published = 0;
    fixture.engine().services.fault_point = [&](std::string_view point) {
        if (point == "published" && ++published == 1) {
            throw std::runtime_error("crash");
        }
    };
    EXPECT_TRUE(test::capture_error([&] { run_engine_action(fixture.engine(), Action::update); }));
    EXPECT_TRUE(file_exists(fixture.engine().client.transaction_path));

    UpdateEngine& next = fixture.restart();
    EXPECT_EQ(run_engine_action(next, Action::startup).title, L"Требуется завершить обновление");
    VORN_EXPECT_ERROR(run_engine_action(next, Action::check), "recovery_required");
    const UiSnapshot view = run_engine_action(next, Action::update);
    EXPECT_EQ(view.detail, L"Обновление установлено и проверено.");
    EXPECT_EQ(content(fixture, "element/a.pck"), "alpha");
    EXPECT_EQ(content(fixture, "element/b.pck"), "beta");
    EXPECT_FALSE(file_exists(next.client.transaction_path));
}

TEST_F(UpdateAction, RefusesWhatItCannotFinishBeforeAnyChange) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.install(files);
    nlohmann::json with_delta = test::manifest_of(files);
    const std::string delta_doc = "{}";
    test::write_raw_file(fixture.feed_dir() / L"blobs" / L"delta.json", delta_doc);
    with_delta["delta"] = {
        {"url", "delta.json"}, {"sha256", sha256_string(delta_doc)}, {"size", delta_doc.size()}};
    serve(fixture, with_delta);
    fixture.write("element/a.pck", "ALPHA");

    // The delta manifest is refused by its own checks long before anything is installed.
    const auto error =
        test::capture_error([&] { run_engine_action(fixture.engine(), Action::update); });
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->stage.starts_with("delta_")) << error->stage;
    EXPECT_EQ(content(fixture, "element/a.pck"), "ALPHA");
    EXPECT_FALSE(fs::exists(fixture.root() / L"element/.vornell-transactions"));

    test::write_raw_file(fixture.engine().client.transaction_path, "{}");
    test::write_raw_file(fixture.root() / L".vorn-delta-journal-v1.json", "{}");
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::update), "recovery_conflict",
                      L"Обнаружены два незавершённых обновления. Автоматическое восстановление "
                      L"остановлено.");
    EXPECT_TRUE(file_exists(fixture.engine().client.transaction_path));

    // A journal that is no journal is not guessed at: recovery stops, nothing changes.
    fs::remove(fixture.engine().client.transaction_path);
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::update), "delta_schema");
    EXPECT_EQ(content(fixture, "element/a.pck"), "ALPHA");

    // A folder where the journal belongs is no journal to finish, and no reason to go on.
    fs::remove(fixture.root() / L".vorn-delta-journal-v1.json");
    fs::create_directory(fixture.root() / L".vorn-delta-journal-v1.json");
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::update), "delta_journal");
    EXPECT_EQ(content(fixture, "element/a.pck"), "ALPHA");
}

TEST_F(UpdateAction, APackageRepairsItsFilesAndOnlyTheOthersAreDownloadedWhole) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.install(files);
    // A well-formed package that rewrites one listed file.
    const std::string target = "alpha 2";
    const std::string packed = test::compressed(target, false);
    const auto digest_of = [](const std::string& bytes) {
        return nlohmann::json{{"sha256", sha256_string(bytes)}, {"bytes", bytes.size()}};
    };
    const std::string blob = "payload/" + sha256_string(packed) + ".zlib";
    const std::string delta_doc = nlohmann::json{
        {"schema", "vorn-client-delta-v1"},
        {"source_package", {{"path", "packages/client-2.tar"}, {"sha256", std::string(64, '9')}}},
        {"full_base_null_means", "absent before the update"},
        {"files", nlohmann::json::array({{{"path", "element/a.pck"},
                                          {"operation", "full"},
                                          {"base", nullptr},
                                          {"target", digest_of(target)},
                                          {"patch_header", nullptr},
                                          {"payload",
                                           {{"path", blob},
                                            {"compression", "zlib"},
                                            {"compressed", digest_of(packed)},
                                            {"raw", digest_of(target)}}}}})},
        {"required_base_profile",
         nlohmann::json::array()}}.dump();
    test::write_raw_file(fixture.feed_dir() / L"blobs" / L"delta.json", delta_doc);
    test::write_raw_file(fixture.feed_dir() / L"blobs" / fs::path(blob).make_preferred(), packed);
    nlohmann::json with_delta = test::manifest_of(
        {{"element/a.pck", target}, {"element/b.pck", "beta"}, {"element/sub/c.pck", "gamma"}});
    with_delta["delta"] = {
        {"url", "delta.json"}, {"sha256", sha256_string(delta_doc)}, {"size", delta_doc.size()}};
    serve(fixture, with_delta);
    fixture.serve_blob(sha256_string(target), target);
    fixture.write("element/b.pck", "BETA");

    const UiSnapshot view = run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(view.title, L"Клиент готов к игре");
    EXPECT_EQ(content(fixture, "element/a.pck"), target);
    EXPECT_EQ(content(fixture, "element/b.pck"), "beta");
    EXPECT_FALSE(file_exists(fixture.engine().client.marker_path));
    EXPECT_FALSE(fs::exists(fixture.root() / L".vorn-delta-journal-v1.json"));
    std::vector<std::string> asked;
    for (const nlohmann::json& request : server.requests(fixture.prefix())) {
        asked.push_back(request.at("path").get<std::string>());
    }
    const auto asked_for = [&](const std::string& tail) {
        return std::any_of(asked.begin(), asked.end(),
                           [&](const std::string& path) { return path.ends_with(tail); });
    };
    EXPECT_TRUE(asked_for(blob));                             // the package's payload
    EXPECT_TRUE(asked_for(sha256_string("beta") + ".dat"));   // a file outside it
    EXPECT_FALSE(asked_for(sha256_string(target) + ".dat"));  // never the whole file
}

TEST_F(UpdateAction, AFileChangedAfterInstallFailsTheProof) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.install(files);
    serve(fixture, test::manifest_of(files));
    fixture.write("element/a.pck", "ALPHA");
    fixture.engine().services.fault_point = [&](std::string_view point) {
        if (point == "all_published") {
            fixture.write("element/b.pck", "other");  // another program writes meanwhile
        }
    };
    VORN_EXPECT_ERROR(run_engine_action(fixture.engine(), Action::update), "post_install_check",
                      L"Не все файлы прошли проверку после установки.");
    EXPECT_FALSE(reports_clean(fixture.engine()));
    EXPECT_TRUE(file_exists(fixture.engine().client.marker_path));
}

}  // namespace
}  // namespace vorn
