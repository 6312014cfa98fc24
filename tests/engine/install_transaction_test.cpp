#include <gtest/gtest.h>

#include <optional>

#include "core/file_probes.h"
#include "core/identifiers.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "core/text.h"
#include "engine/client_paths.h"
#include "engine/install_transaction.h"
#include "engine/manifest_parse.h"
#include "engine/recovery.h"
#include "engine_fixture.h"
#include "support/compression.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Crash {};  // thrown from the fault point: the work stops there, nothing is undone

// a.pck and b.pck are replaced; the new file sits in a folder that does not exist yet.
const std::vector<test::Change> three = {{"element/a.pck", "a old", "a new"},
                                         {"element/fresh/n.pck", std::nullopt, "n new"},
                                         {"element/b.pck", "b old", "b new"}};

std::vector<std::wstring> transaction_folders(const test::EngineFixture& fixture) {
    const fs::path parent = fixture.root() / L"element" / L".vornell-transactions";
    return fs::exists(parent) ? test::names_in(parent) : std::vector<std::wstring>{};
}

std::string blob_path(const std::string& digest) {
    return "blobs/" + digest.substr(0, 2) + "/" + digest + ".dat";
}

// Writes the old client, serves every new content as a raw blob and loads the manifest.
std::vector<ManifestFile> prepare(test::EngineFixture& fixture,
                                  const std::vector<test::Change>& changes,
                                  const std::function<void(json&)>& edit = {}) {
    std::vector<test::ClientFile> wanted;
    for (const test::Change& change : changes) {
        if (change.before) {
            fixture.write(change.path, *change.before);
        }
        wanted.push_back({change.path, change.after});
        fixture.serve_blob(sha256_string(change.after), change.after);
    }
    json document = test::manifest_of(wanted);
    if (edit) {
        edit(document);
    }
    return parse_manifest(fixture.engine(), test::response_of(document.dump())).files;
}

// The first `updated` files hold their new content, the rest their old one.
void expect_client(const test::EngineFixture& fixture, const std::vector<test::Change>& changes,
                   std::size_t updated) {
    for (std::size_t i = 0; i < changes.size(); ++i) {
        EXPECT_EQ(fixture.content_of(changes[i].path),
                  i < updated ? changes[i].after : changes[i].before)
            << changes[i].path;
    }
}

// Throws Crash at the `occurrence`-th arrival at `point`.
void crash_at(UpdateEngine& engine, std::string point, int occurrence) {
    engine.fault_point = [point, occurrence, seen = 0](std::string_view reached) mutable {
        if (reached == point && ++seen == occurrence) {
            throw Crash{};
        }
    };
}

struct CrashCase {
    const char* point;
    int occurrence;
    bool journal;
    std::size_t published;  // files of `three` already moved into place
};

class TransactionCrash : public ::testing::TestWithParam<CrashCase> {};

TEST_P(TransactionCrash, LeavesARepairableStateThenInstallsAgain) {
    VORN_REQUIRE_LOOPBACK(server);
    const CrashCase& row = GetParam();
    test::EngineFixture fixture(&server);
    const std::vector<ManifestFile> files = prepare(fixture, three);
    crash_at(fixture.engine(), row.point, row.occurrence);
    EXPECT_THROW(install_files(fixture.engine(), files), Crash);

    EXPECT_EQ(file_exists(fixture.engine().transaction_path), row.journal);
    EXPECT_EQ(file_exists(fixture.engine().marker_path), row.journal);
    EXPECT_EQ(transaction_folders(fixture).size(), 1u);
    expect_client(fixture, three, row.published);

    // The next launcher run: recovery, then the stale folder goes.
    UpdateEngine& engine = fixture.restart();
    recover_transaction(engine);
    remove_stale_transactions(engine);
    expect_client(fixture, three, 0);
    EXPECT_FALSE(file_exists(engine.transaction_path));
    EXPECT_TRUE(transaction_folders(fixture).empty());

    install_files(engine, files);
    expect_client(fixture, three, 3);
    EXPECT_FALSE(file_exists(engine.transaction_path));
    EXPECT_TRUE(transaction_folders(fixture).empty());
}

INSTANTIATE_TEST_SUITE_P(TransactionPoints, TransactionCrash,
                         ::testing::Values(CrashCase{"staged", 1, false, 0},
                                           CrashCase{"backed_up", 1, false, 0},
                                           CrashCase{"journal_written", 1, true, 0},
                                           CrashCase{"published", 2, true, 2},
                                           CrashCase{"all_published", 1, true, 3}),
                         [](const auto& test_info) { return std::string(test_info.param.point); });

TEST(Transaction, JournalsANewFileWithoutBackup) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    const std::vector<ManifestFile> files = prepare(fixture, three);
    UpdateEngine& engine = fixture.engine();
    json journal;
    fs::path folder;
    engine.fault_point = [&](std::string_view point) {
        if (point == "journal_written") {
            journal = read_json_file(engine.transaction_path, 1 << 20);
            folder = transaction_folder(engine, journal.at("id").get<std::string>(),
                                        TransactionLayout::element);
            EXPECT_TRUE(fs::exists(folder / L"backups" / L"0.bin"));
            EXPECT_FALSE(fs::exists(folder / L"backups" / L"1.bin"));
            EXPECT_TRUE(fs::exists(folder / L"backups" / L"2.bin"));
        }
    };
    install_files(engine, files);

    ASSERT_TRUE(journal.is_object());
    EXPECT_EQ(journal["schema"], 2);
    EXPECT_EQ(journal["root"], client_key(fixture.root()));
    EXPECT_EQ(journal["layout"], "element-v1");
    EXPECT_EQ(folder, fixture.root() / L"element" / L".vornell-transactions" /
                          to_utf16(journal["id"].get<std::string>()));
    ASSERT_EQ(journal["entries"].size(), 3u);
    const json& added = journal["entries"][1];
    EXPECT_EQ(added["path"], "element/fresh/n.pck");
    EXPECT_EQ(added["backup"], "backups/1.bin");
    EXPECT_EQ(added["existed"], false);
    EXPECT_EQ(added["old_sha256"], "");
    EXPECT_EQ(added["new_sha256"], sha256_string("n new"));
    EXPECT_EQ(journal["entries"][2]["existed"], true);
    EXPECT_EQ(journal["entries"][2]["old_sha256"], sha256_string("b old"));
    expect_client(fixture, three, 3);
    EXPECT_FALSE(fs::exists(folder));
}

const test::Change replaced = {"element/a.pck", "old content", "new content"};

// A blob that fails one check: scripted answers or body, and the manifest's compressedSize.
struct BadBlob {
    const char* name;
    json answers;  // null: the static file below
    std::string body;
    std::uint64_t compressed_size;
    std::string stage;
    std::uint32_t http_status;
    std::size_t requests;
};

class TransactionBadBlob : public ::testing::TestWithParam<BadBlob> {};

TEST_P(TransactionBadBlob, IsNeverInstalled) {
    VORN_REQUIRE_LOOPBACK(server);
    const BadBlob& row = GetParam();
    test::EngineFixture fixture(&server);
    const std::vector<ManifestFile> files = prepare(fixture, {replaced}, [&](json& document) {
        if (row.compressed_size != 0) {
            document["files"][0]["compressedSize"] = row.compressed_size;
        }
    });
    const std::string blob = blob_path(files[0].sha256);
    fixture.serve_blob(files[0].sha256, row.body);
    if (!row.answers.is_null()) {
        server.answer(fixture.prefix() + blob, row.answers);
    }

    const auto error = test::capture_error([&] { install_files(fixture.engine(), files); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, row.stage);
    EXPECT_EQ(error->http_status, row.http_status);
    EXPECT_EQ(server.requests(fixture.prefix() + blob).size(), row.requests);
    EXPECT_EQ(fixture.content_of(replaced.path), replaced.before);
    EXPECT_FALSE(file_exists(fixture.engine().transaction_path));
    EXPECT_FALSE(file_exists(fixture.engine().marker_path));
}

// A 404 is refused by the fetch itself ("http_status", not retried); a 5xx is retried
// three times; only a 2xx other than 200 reaches the blob's own status check.
INSTANTIATE_TEST_SUITE_P(
    TransactionChecks, TransactionBadBlob,
    ::testing::Values(
        BadBlob{"digest", nullptr, "NEW CONTENT", 0, "blob_sha", 0, 1},
        BadBlob{"length", nullptr, "new content", 12, "blob_length", 0, 1},
        BadBlob{"missing", json::array({{{"status", 404}}}), "", 0, "http_status", 404, 1},
        BadBlob{"unavailable", json::array({{{"status", 503}, {"repeat", 3}}}), "", 0,
                "http_status", 503, 3},
        BadBlob{"no_content", json::array({{{"status", 204}}}), "", 0, "blob_http", 204, 1}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(Transaction, DecodesBlobsByTheirFirstBytes) {
    VORN_REQUIRE_LOOPBACK(server);
    for (const bool gzip : {true, false}) {
        test::EngineFixture fixture(&server);
        const std::string content(5000, gzip ? 'g' : 'z');
        const std::vector<ManifestFile> files =
            prepare(fixture, {{"element/a.pck", "old", content}});  // no compressedSize
        fixture.serve_blob(files[0].sha256, test::compressed(content, gzip));
        install_files(fixture.engine(), files);
        EXPECT_EQ(fixture.content_of("element/a.pck"), content) << gzip;
    }
}

TEST(Transaction, StoredFilesThatLookCompressedAreInstalledAsTheyCame) {
    VORN_REQUIRE_LOOPBACK(server);
    // Text that starts with "x", and a .gz archive that is itself the game file.
    for (const std::string& content :
         {std::string("xml-like settings, stored plain"), test::compressed("inner", true)}) {
        test::EngineFixture fixture(&server);
        const std::vector<ManifestFile> files =
            prepare(fixture, {{"element/a.pck", "old", content}});
        fixture.serve_blob(files[0].sha256, content);
        install_files(fixture.engine(), files);
        EXPECT_EQ(fixture.content_of("element/a.pck"), content);
    }
}

TEST(Transaction, RefusesBeforeCreatingAnything) {
    test::EngineFixture fixture;
    const ManifestFile plain{"element/a.pck", sha256_string("a"), 1, 0};
    ManifestFile updater = plain;
    updater.path = "element/VornellUpdater.exe";
    ManifestFile huge = plain;
    huge.size = 536870913;
    const std::vector<ManifestFile> with_updater = {plain, updater};
    const std::vector<ManifestFile> with_huge = {plain, huge};
    VORN_EXPECT_ERROR(install_files(fixture.engine(), with_updater), "self_update_staging",
                      L"Игровой пакет не может заменять компонент обновления лаунчера.");
    VORN_EXPECT_ERROR(install_files(fixture.engine(), with_huge), "delta_required",
                      L"Большой архив требует проверенную дельту. Полная загрузка запрещена.");
    install_files(fixture.engine(), {});
    EXPECT_FALSE(fs::exists(fixture.root() / L"element" / L".vornell-transactions"));
}

TEST(Transaction, FileChangedDuringDownloadStopsBeforeBackup) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    const std::vector<ManifestFile> files = prepare(fixture, three);
    fixture.engine().fault_point = [&](std::string_view point) {
        if (point == "staged") {
            fixture.write("element/b.pck", "b edited");
        }
    };
    VORN_EXPECT_ERROR(install_files(fixture.engine(), files), "install_conflict",
                      L"Файл изменился во время загрузки. Обновление остановлено.");
    EXPECT_EQ(fixture.content_of("element/a.pck"), "a old");
    EXPECT_EQ(fixture.content_of("element/fresh/n.pck"), std::nullopt);
    EXPECT_EQ(fixture.content_of("element/b.pck"), "b edited");
    EXPECT_FALSE(file_exists(fixture.engine().transaction_path));
    EXPECT_FALSE(file_exists(fixture.engine().marker_path));
}

TEST(Transaction, SecondCommitWaitsForRecovery) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    const std::vector<ManifestFile> files = prepare(fixture, three);
    crash_at(fixture.engine(), "journal_written", 1);
    EXPECT_THROW(install_files(fixture.engine(), files), Crash);
    const std::string journal = test::read_raw_file(fixture.engine().transaction_path);

    UpdateEngine& engine = fixture.restart();
    VORN_EXPECT_ERROR(install_files(engine, files), "recovery_required",
                      L"Сначала завершите восстановление предыдущего обновления.");
    EXPECT_EQ(test::read_raw_file(engine.transaction_path), journal);
    expect_client(fixture, three, 0);
}

// Stale transaction folders, each filled as an interrupted download leaves it.
class TransactionStale : public ::testing::Test {
  protected:
    fs::path stale(const std::string& id) {
        const fs::path folder = begin_transaction(fixture.engine(), id);
        test::write_raw_file(folder / L"staged" / L"0.bin", "staged");
        fs::create_directories(folder / L"backups");
        test::write_raw_file(folder / L"backups" / L"0.bin", "backup");
        return folder;
    }
    test::EngineFixture fixture;
};

TEST_F(TransactionStale, RemovesOnlyOwnCleanFoldersWithTransactionNames) {
    const fs::path removed = stale(random_hex(16));
    const fs::path parent = removed.parent_path();
    const std::string id = random_hex(16);
    const fs::path model = stale(id);
    // Folders of the same content under names that are not transaction ids.
    for (const std::string& name :
         {std::string("keep-me"), std::string(32, 'A'), id.substr(0, 31), id + "0"}) {
        fs::copy(model, parent / to_utf16(name), fs::copy_options::recursive);
    }
    const fs::path unexpected = stale(random_hex(16));
    test::write_raw_file(unexpected / L"notes.txt", "mine");
    const fs::path odd_staged = stale(random_hex(16));
    test::write_raw_file(odd_staged / L"staged" / L"0.dat", "mine");
    const fs::path foreign = stale(random_hex(16));
    write_json_file(foreign / L"owner-v2.json", {{"schema", "vornell.transaction.v2"},
                                                 {"root", sha256_string("another client")},
                                                 {"id", to_utf8(foreign.filename().wstring())}});
    fs::remove_all(model);

    remove_stale_transactions(fixture.engine());
    EXPECT_FALSE(fs::exists(removed));
    EXPECT_TRUE(fs::exists(unexpected / L"owner-v2.json"));
    EXPECT_TRUE(fs::exists(odd_staged / L"staged" / L"0.dat"));
    EXPECT_TRUE(fs::exists(odd_staged / L"backups" / L"0.bin"));
    EXPECT_TRUE(fs::exists(foreign / L"staged" / L"0.bin"));
    EXPECT_EQ(test::names_in(parent).size(), 7u);
    EXPECT_TRUE(fs::exists(parent / L"keep-me" / L"staged" / L"0.bin"));
}

TEST_F(TransactionStale, NothingIsRemovedWhileAJournalExists) {
    const fs::path folder = stale(random_hex(16));
    test::write_raw_file(fixture.engine().transaction_path, "{}");
    remove_stale_transactions(fixture.engine());
    EXPECT_TRUE(fs::exists(folder / L"backups" / L"0.bin"));
}

}  // namespace
}  // namespace vorn
