#include <gtest/gtest.h>

#include <windows.h>

#include "archive/rebase_receipt.h"
#include "core/client_key.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "delta/delta_manifest.h"
#include "engine/client/client_file_hash.h"
#include "engine/client/file_hashing.h"
#include "engine/client/subsystem_inputs.h"
#include "engine/manifest/manifest_parse.h"
#include "engine/update/delta_progress_view.h"
#include "engine/update/verification.h"
#include "engine_fixture.h"
#include "net/winhttp_transport.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::wstring missing_updater =
    L"Компонент обновления отсутствует или не прошёл проверку. Установите актуальный "
    L"VornellUpdater.exe в папку element.";
const std::string updater = "element/VornellUpdater.exe";
const std::string shipped_surfaces = "surfaces as shipped";
const std::string patched_surfaces = "surfaces with the guild icons patched in";

Manifest load(test::EngineFixture& fixture, const json& document) {
    return parse_manifest(fixture.engine().client, fixture.engine().services,
                          test::response_of(document.dump()));
}

std::vector<std::string> paths_of(const std::vector<ManifestFile>& files) {
    std::vector<std::string> paths;
    for (const ManifestFile& file : files) {
        paths.push_back(file.path);
    }
    return paths;
}

std::vector<std::string> mismatches(test::EngineFixture& fixture, const Manifest& manifest,
                                    const Overrides& overrides = {}) {
    return paths_of(
        verify_client(fixture.engine().client, fixture.engine().state.view, manifest, overrides));
}

std::string updater_build(int n) {
    return "vornell test updater build " + std::to_string(n) + "\n";
}

FileDigest digest_of(const std::string& content) {
    return {sha256_string(content), content.size()};
}

// A package entry that replaces `path` with `content`.
DeltaEntry full_entry(const std::string& path, const std::string& content) {
    DeltaEntry entry;
    entry.path = path;
    entry.operation = "full";
    entry.target = digest_of(content);
    return entry;
}

void write_guild_state(const UpdateEngine& engine, const std::string& root) {
    write_json_file(engine.client.guild_state_path,
                    {{"schema", 2},
                     {"root", root},
                     {"version", "1"},
                     {"base_sha256", sha256_string(shipped_surfaces)},
                     {"patched_sha256", sha256_string(patched_surfaces)},
                     {"png_sha256", sha256_string("png")},
                     {"text_sha256", sha256_string("text")}});
}

// A rebase state for one rebuilt archive, checksummed as the rebase writes it.
void write_rebase_state(const UpdateEngine& engine, const std::string& manifest_key,
                        const std::string& delta_sha256, const std::string& archive,
                        const std::string& content) {
    json state = {
        {"schema", 1},
        {"root", to_utf8(engine.client.root.native())},
        {"manifest_key", manifest_key},
        {"delta_sha256", delta_sha256},
        {"groups",
         {{{"main", archive},
           {"files",
            {{{"path", archive}, {"sha256", sha256_string(content)}, {"bytes", content.size()}}}},
           {"changed_members", 1}}}}};
    state["checksum"] = sha256_string(compact_json(state));
    write_json_file(engine.client.cache_dir / rebase_state_file_name, state);
}

TEST(VerificationResult, MismatchesInManifestOrder) {
    test::EngineFixture fixture;
    fixture.install({{"element/changed.bin", "old!"}, {"element/ok.bin", "fine"}});
    const Manifest manifest = load(fixture, test::manifest_of({{"element/changed.bin", "new!"},
                                                               {"element/ok.bin", "fine"},
                                                               {"element/missing.bin", "gone"}}));
    const auto found =
        verify_client(fixture.engine().client, fixture.engine().state.view, manifest, {});
    EXPECT_EQ(paths_of(found),
              (std::vector<std::string>{"element/changed.bin", "element/missing.bin"}));
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].sha256, sha256_string("new!")) << "a copy of the manifest entry";
}

TEST(VerificationResult, OtherSizeIsNeverRead) {
    test::EngineFixture fixture;
    const fs::path held = fixture.write("element/held.bin", "live content");
    // Share mode 0: any read of the file through another handle fails while it is held.
    UniqueFile hold(CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hold) << GetLastError();

    const Manifest shorter = load(fixture, test::manifest_of({{"element/held.bin", "short"}}));
    std::vector<std::string> found;
    EXPECT_NO_THROW(found = mismatches(fixture, shorter));
    EXPECT_EQ(found, std::vector<std::string>{"element/held.bin"});

    // The same held file at the listed size has to be read, which fails: the proof holds.
    const Manifest same_size =
        load(fixture, test::manifest_of({{"element/held.bin", "LIVE CONTENT"}}));
    EXPECT_TRUE(test::capture_error([&] { mismatches(fixture, same_size); }).has_value());
}

TEST(VerificationResult, EqualClientIsReadOnceAndMatches) {
    test::EngineFixture fixture;
    const std::vector<test::ClientFile> files = {
        {"element/a.bin", "first"}, {"element/b.bin", "second"}, {"element/c.bin", "third"}};
    fixture.install(files);
    EXPECT_TRUE(mismatches(fixture, load(fixture, test::manifest_of(files))).empty());
    for (const test::ClientFile& file : files) {
        // Every read of a file starts with one progress call at 0 bytes.
        const std::wstring first_call = L"Файл: " + to_utf16(file.path) + L"; SHA-256: 0 / ";
        const auto reads = std::count_if(
            fixture.views.begin(), fixture.views.end(),
            [&](const UiSnapshot& view) { return view.hint.starts_with(first_call); });
        EXPECT_EQ(reads, 1) << file.path;
    }
}

TEST(VerificationResult, ViewsBetweenFilesEvery32Files) {
    test::EngineFixture fixture;
    std::vector<test::ClientFile> files;
    for (int i = 0; i < 70; ++i) {
        files.push_back({"element/f" + std::to_string(i) + ".bin", "file " + std::to_string(i)});
    }
    fixture.install(files);
    EXPECT_TRUE(mismatches(fixture, load(fixture, test::manifest_of(files))).empty());

    std::vector<std::wstring> between;
    for (const UiSnapshot& view : fixture.views) {
        if (view.hint.empty() && view.title == L"Проверяем файлы клиента") {
            between.push_back(view.detail);
        }
    }
    EXPECT_EQ(between, (std::vector<std::wstring>{L"Проверено: 1 / 70", L"Проверено: 33 / 70",
                                                  L"Проверено: 65 / 70", L"Проверено: 70 / 70"}));
    EXPECT_EQ(fixture.views.back().percent, 100);
}

TEST(VerificationUpdater, AcceptedBuildsMatchWhateverTheManifestSays) {
    test::EngineFixture fixture;
    const Manifest manifest = load(fixture, test::manifest_of({{updater, "the listed updater"}}));
    for (const int build : {1, 4}) {
        fixture.write(updater, updater_build(build));
        EXPECT_TRUE(mismatches(fixture, manifest).empty()) << "build " << build;
    }
}

TEST(VerificationUpdater, UnknownOrMissingBuildStops) {
    test::EngineFixture fixture;
    const std::string unknown = "an updater of another make\n";
    // Listed with the live file's own digest, and in another spelling of its path.
    const Manifest manifest =
        load(fixture, test::manifest_of({{"Element\\vornellupdater.EXE", unknown}}));
    fixture.write(updater, unknown);
    VORN_EXPECT_ERROR(mismatches(fixture, manifest), "self_update_missing_component",
                      missing_updater);

    fs::remove(fixture.root() / "element" / "VornellUpdater.exe");
    VORN_EXPECT_ERROR(mismatches(fixture, manifest), "self_update_missing_component",
                      missing_updater);
    DeltaManifest delta;
    delta.entries.push_back(full_entry(updater, updater_build(1)));
    VORN_EXPECT_ERROR(
        updater_overrides(fixture.engine().client, fixture.engine().state.view, manifest, delta),
        "self_update_missing_component", missing_updater);
}

TEST(VerificationGuildArchive, PatchedArchiveNeedsThisClientsState) {
    test::EngineFixture fixture;
    const std::string listed = "ELEMENT\\Surfaces.PCK";
    const Manifest manifest = load(fixture, test::manifest_of({{listed, shipped_surfaces}}));
    fixture.write("element/surfaces.pck", patched_surfaces);
    const UpdateEngine& engine = fixture.engine();
    EXPECT_EQ(mismatches(fixture, manifest), std::vector<std::string>{listed}) << "no state";

    write_guild_state(engine, client_key(engine.client.root));
    EXPECT_TRUE(mismatches(fixture, manifest).empty());

    test::ScopedTempDir elsewhere;
    write_guild_state(engine, client_key(elsewhere.path()));
    EXPECT_EQ(mismatches(fixture, manifest), std::vector<std::string>{listed}) << "another root";
}

TEST(VerificationOverrides, OverrideOfAnotherSizeMatchesOnlyWhenExact) {
    test::EngineFixture fixture;
    const std::string live = "rebuilt data, longer than listed";
    fixture.write("element/data.bin", live);
    const Manifest manifest = load(fixture, test::manifest_of({{"element/data.bin", "listed"}}));
    // Override keys name the file whatever their case.
    EXPECT_TRUE(mismatches(fixture, manifest, {{"ELEMENT/Data.bin", digest_of(live)}}).empty());

    const FileDigest longer{sha256_string(live), live.size() + 1};
    const FileDigest other_digest{sha256_string("something else"), live.size()};
    for (const FileDigest& wrong : {longer, other_digest}) {
        EXPECT_EQ(mismatches(fixture, manifest, {{"element/data.bin", wrong}}),
                  std::vector<std::string>{"element/data.bin"});
    }
}

TEST(VerificationSafety, FolderInPlaceOfFileStops) {
    test::EngineFixture fixture;
    const fs::path folder = fixture.root() / "element" / "data.bin";
    fs::create_directories(folder);
    const Manifest manifest = load(fixture, test::manifest_of({{"element/data.bin", "data"}}));
    VORN_EXPECT_ERROR(mismatches(fixture, manifest), "file_safety",
                      L"Один из файлов клиента является ссылкой или недоступен.");
    VORN_EXPECT_ERROR(hash_client_file(folder), "file_safety",
                      L"Файл клиента недоступен или является ссылкой.");
}

TEST(VerificationSafety, LinkedFoldersAreRefused) {
    VORN_REQUIRE_FIXTURE(links, "links");
    // The fixture folder itself is the client root; nothing is written there.
    test::ScopedTempDir service;
    LauncherConfig config;
    config.root = links.native();
    config.cache_dir = (service.path() / L"service").native();
    config.local_test = true;
    UpdateEngine engine(config, std::make_shared<WinHttpTransport>(), {}, {});
    const auto verify = [&](const std::string& path) {
        Manifest manifest;
        manifest.files = {{path, sha256_string("inside\n"), 7}};
        return paths_of(verify_client(engine.client, engine.state.view, manifest, {}));
    };

    EXPECT_TRUE(verify("dir_target/inner.txt").empty()) << "the same file without a link";
    // The links are refused where the path is resolved, before the file is probed.
    VORN_EXPECT_ERROR(verify("dir_link"), "unsafe_path");
    VORN_EXPECT_ERROR(verify("dir_link/inner.txt"), "unsafe_path");
}

TEST(VerificationDelta, OverridesForUpdaterGuildArchiveAndRebuiltArchives) {
    test::EngineFixture fixture;
    UpdateEngine& engine = fixture.engine();
    const Manifest manifest =
        load(fixture, test::manifest_of({{updater, "listed updater"},
                                         {"element/surfaces.pck", shipped_surfaces},
                                         {"element/gfx.pck", "gfx as shipped"}}));
    fixture.write(updater, updater_build(2));
    fixture.write("element/surfaces.pck", patched_surfaces);
    fixture.write("element/gfx.pck", "gfx rebuilt");
    write_guild_state(engine, client_key(engine.client.root));
    DeltaManifest delta;
    delta.manifest_sha256 = sha256_string("delta manifest");
    write_rebase_state(engine, manifest.key, delta.manifest_sha256, "element/gfx.pck",
                       "gfx rebuilt");
    delta.entries.push_back(full_entry(updater, "packaged updater"));
    delta.entries.push_back(full_entry("element/surfaces.pck", "packaged surfaces"));

    const Overrides expected = {{updater, digest_of(updater_build(2))},
                                {"element/surfaces.pck", digest_of(patched_surfaces)},
                                {"element/gfx.pck", digest_of("gfx rebuilt")}};
    EXPECT_EQ(updater_overrides(engine.client, engine.state.view, manifest, delta), expected);
}

TEST(VerificationRebaseReceipt, OnlyAnIntactStateForThisManifestCounts) {
    test::EngineFixture fixture;
    UpdateEngine& engine = fixture.engine();
    const std::vector<test::ClientFile> files = {{"element/gfx.pck", "gfx as shipped"}};
    const Manifest older = load(fixture, test::manifest_of(files, "1"));
    const Manifest manifest = load(fixture, test::manifest_of(files, "2"));
    const std::string delta = sha256_string("delta manifest");
    const fs::path state = engine.client.cache_dir / rebase_state_file_name;
    fixture.write("element/gfx.pck", "gfx rebuilt");

    write_rebase_state(engine, manifest.key, delta, "element/gfx.pck", "gfx rebuilt");
    EXPECT_EQ(load_rebase_receipt(rebase_receipt_inputs(engine.client, engine.state.view),
                                  manifest.key, delta),
              (Overrides{{"element/gfx.pck", digest_of("gfx rebuilt")}}));

    // Written by a launcher started under another spelling of the same folder.
    json respelled = read_json_file(state, largest_rebase_state);
    std::string root = respelled["root"];
    std::transform(root.begin(), root.end(), root.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    ASSERT_NE(root, respelled["root"]);
    respelled["root"] = root;
    respelled.erase("checksum");
    respelled["checksum"] = sha256_string(compact_json(respelled));
    write_json_file(state, respelled);
    EXPECT_EQ(load_rebase_receipt(rebase_receipt_inputs(engine.client, engine.state.view),
                                  manifest.key, delta)
                  .size(),
              1u)
        << "the same folder, spelled otherwise";

    json edited = read_json_file(state, largest_rebase_state);
    edited["groups"][0]["changed_members"] = 2;
    write_json_file(state, edited);
    EXPECT_TRUE(load_rebase_receipt(rebase_receipt_inputs(engine.client, engine.state.view),
                                    manifest.key, delta)
                    .empty())
        << "edited by hand";

    write_rebase_state(engine, older.key, delta, "element/gfx.pck", "gfx rebuilt");
    EXPECT_TRUE(load_rebase_receipt(rebase_receipt_inputs(engine.client, engine.state.view),
                                    manifest.key, delta)
                    .empty())
        << "an older manifest";

    fs::remove(state);
    EXPECT_TRUE(load_rebase_receipt(rebase_receipt_inputs(engine.client, engine.state.view),
                                    manifest.key, delta)
                    .empty())
        << "no state";
}

TEST(VerificationProgress, HashProgressText) {
    EXPECT_EQ(hash_progress_text(1572864, 3145728), L"SHA-256: 1.5 / 3.0 МБ");
    EXPECT_EQ(hash_progress_text(1000, 1023), L"SHA-256: 1000 / 1023 байт");
    EXPECT_EQ(hash_progress_text(1024, 1024), L"SHA-256: 1.0 / 1.0 КБ");
}

TEST(VerificationProgress, DeltaEventViews) {
    struct Row {
        const char* event;
        std::wstring path;
        std::uint64_t done, total;
        std::int32_t phase, percent;
        std::wstring title, detail, hint;
    };
    const std::wstring hashing = L"Проверяем контрольные суммы дельты";
    const std::wstring preparing = L"Проверяем и готовим дельту";
    const std::vector<Row> rows = {
        {"hash_start", L"element/gfx.pck", 0, 0, 1, 0, hashing, L"Файл: element/gfx.pck",
         L"Открываем файл для проверки."},
        {"hash_bytes", L"element/gfx.pck", 1572864, 3145728, 1, 50, hashing,
         L"Файл: element/gfx.pck", L"SHA-256: 1.5 / 3.0 МБ"},
        {"inspect_file", L"element/a.pck", 3, 4, 1, 75, L"Проверяем состояние дельты",
         L"Файлов: 3 / 4", L"Файл: element/a.pck"},
        {"inspect_start", L"", 0, 4, 1, 0, L"Проверяем состояние дельты", L"Файлов: 0 / 4", L""},
        {"backed_up", L"element/a.pck", 7, 5, 4, 100, L"Устанавливаем дельту", L"Файлов: 7 / 5",
         L""},
        {"staged_all", L"element/a.pck", 4, 4, 1, 100, preparing, L"Файлов: 4 / 4", L""},
        {"planned", L"element/a.pck", 1, 3, 1, 33, preparing, L"Файлов: 1 / 3", L""},
    };
    test::EngineFixture fixture;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.event);
        delta_progress_view(fixture.engine().client, fixture.engine().state.view, row.event,
                            row.path, row.done, row.total);
        ASSERT_FALSE(fixture.views.empty());
        const UiSnapshot& view = fixture.views.back();
        EXPECT_EQ(phase_number(view.phase), row.phase);
        EXPECT_EQ(view.percent, row.percent);
        EXPECT_EQ(view.title, row.title);
        EXPECT_EQ(view.detail, row.detail);
        EXPECT_EQ(view.hint, row.hint);
        EXPECT_TRUE(view.busy && !view.can_update);
    }
    EXPECT_EQ(fixture.views.size(), rows.size());
}

}  // namespace
}  // namespace vorn
