#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <optional>

#include "core/file_probes.h"
#include "core/identifiers.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "core/text.h"
#include "engine/client/client_place.h"
#include "engine/install/install_transaction.h"
#include "engine/install/recovery.h"
#include "engine_fixture.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Crash {};

const std::vector<test::Change> pair = {{"element/a.pck", "a old", "a new"},
                                        {"element/b.pck", "b old", "b new"}};

// A client whose commit stopped at the `occurrence`-th `point`, seen by the next run.
class CrashedClient {
  public:
    CrashedClient(const std::vector<test::Change>& changes, const char* point, int occurrence) {
        UpdateEngine& engine = fixture.engine();
        id = random_hex(16);
        folder = begin_transaction(engine.client, engine.services, id);
        std::vector<StagedFile> staged;
        ExpectedStates expected;
        for (std::size_t i = 0; i < changes.size(); ++i) {
            const test::Change& change = changes[i];
            if (change.before) {
                fixture.write(change.path, *change.before);
            }
            const fs::path file = folder / L"staged" / (std::to_wstring(i) + L".bin");
            test::write_raw_file(file, change.after);
            staged.push_back({change.path, file, sha256_string(change.after)});
            expected[change.path] = change.before ? sha256_string(*change.before) : "";
        }
        engine.services.fault_point = [&, seen = 0](std::string_view reached) mutable {
            if (reached == point && ++seen == occurrence) {
                throw Crash{};
            }
        };
        EXPECT_THROW(commit_transaction(engine.client, engine.services, engine.state.view, id,
                                        staged, expected),
                     Crash);
        fixture.restart();
    }

    UpdateEngine& engine() { return fixture.engine(); }
    void edit_journal(const std::function<void(json&)>& edit) {
        json journal = read_json_file(engine().client.transaction_path, 1 << 20);
        edit(journal);
        write_json_file(engine().client.transaction_path, journal);
    }
    // Every file under the client folder with its content.
    std::map<fs::path, std::string> snapshot() const {
        std::map<fs::path, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(fixture.root())) {
            if (entry.is_regular_file()) {
                files[entry.path()] = test::read_raw_file(entry.path());
            }
        }
        return files;
    }

    test::EngineFixture fixture;
    std::string id;
    fs::path folder;
};

struct Refusal {
    const char* name;
    std::function<void(CrashedClient&)> edit;
    std::string stage;
    std::wstring message;
};

void set_entry(CrashedClient& client, std::size_t index, const char* key, const json& value) {
    client.edit_journal([&](json& journal) { journal["entries"][index][key] = value; });
}

const std::wstring bad_path = L"Недопустимый путь в описании восстановления.";

class RecoveryRefusal : public ::testing::TestWithParam<Refusal> {};

// Half published (a new, b old): a refusal that restored anything would show on a.pck.
TEST_P(RecoveryRefusal, ChangesNothing) {
    CrashedClient client(pair, "published", 1);
    ASSERT_EQ(client.fixture.content_of("element/a.pck"), "a new");
    GetParam().edit(client);
    const auto before = client.snapshot();
    const std::string journal = test::read_raw_file(client.engine().client.transaction_path);

    VORN_EXPECT_ERROR(recover_transaction(client.engine().client, client.engine().state.view),
                      GetParam().stage, GetParam().message);
    EXPECT_EQ(client.snapshot(), before);
    EXPECT_EQ(test::read_raw_file(client.engine().client.transaction_path), journal);
}

INSTANTIATE_TEST_SUITE_P(
    RecoveryJournals, RecoveryRefusal,
    ::testing::Values(
        Refusal{"outside_element", [](auto& c) { set_entry(c, 1, "path", "data/b.pck"); },
                "transaction_state", bad_path},
        Refusal{"duplicate_path", [](auto& c) { set_entry(c, 1, "path", "ELEMENT\\A.PCK"); },
                "transaction_state", bad_path},
        Refusal{"backup_index", [](auto& c) { set_entry(c, 0, "backup", "backups/1.bin"); },
                "transaction_state", bad_path},
        Refusal{"unknown_layout",
                [](auto& c) { c.edit_journal([](json& j) { j["layout"] = "element-v2"; }); },
                "transaction_state", L"Неизвестное размещение временных файлов обновления."},
        Refusal{"foreign_root",
                [](auto& c) {
                    c.edit_journal([](json& j) { j["root"] = sha256_string("other client"); });
                },
                "transaction_state", L"Неверное описание восстановления клиента."},
        Refusal{"bad_id",
                [](auto& c) { c.edit_journal([](json& j) { j["id"] = std::string(32, 'A'); }); },
                "transaction_state", L"Повреждено описание восстановления."},
        Refusal{
            "backup_digest",
            [](auto& c) { test::write_raw_file(c.folder / L"backups" / L"1.bin", "b tampered"); },
            "recovery_backup", L"Резервная копия не прошла проверку. Файлы не изменены."},
        Refusal{"edited_by_hand", [](auto& c) { c.fixture.write("element/b.pck", "b by hand"); },
                "recovery_conflict",
                L"Файл изменён после прерванного обновления. Автоматическое восстановление "
                L"остановлено."},
        Refusal{"recovery_copy_is_a_folder",
                [](auto& c) {
                    fs::create_directories(c.fixture.root() / L"element" / L"a.pck.vorn-recovery");
                },
                "recovery_conflict", L"Временный файл восстановления уже существует."}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

// A recovery killed while it copied a backup leaves its copy: only recovery writes that
// name, from a backup it verified, so the next one replaces it and goes on.
TEST(Recovery, ALeftoverRecoveryCopyIsReplaced) {
    CrashedClient client(pair, "published", 1);
    const fs::path leftover = client.fixture.write("element/a.pck.vorn-recovery", "half copied");
    ASSERT_TRUE(SetFileAttributesW(leftover.c_str(), FILE_ATTRIBUTE_READONLY));

    recover_transaction(client.engine().client, client.engine().state.view);
    EXPECT_EQ(client.fixture.content_of("element/a.pck"), "a old");
    EXPECT_EQ(client.fixture.content_of("element/b.pck"), "b old");
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_FALSE(file_exists(client.engine().client.transaction_path));
    EXPECT_FALSE(fs::exists(client.folder));
}

TEST(Recovery, DeletesNewFilesThatArrivedAndKeepsTheirFolders) {
    CrashedClient client(
        {{"element/fresh/deep/n1.pck", std::nullopt, "n1"}, {"element/n2.pck", std::nullopt, "n2"}},
        "published", 1);
    ASSERT_EQ(client.fixture.content_of("element/fresh/deep/n1.pck"), "n1");
    ASSERT_EQ(client.fixture.content_of("element/n2.pck"), std::nullopt);

    recover_transaction(client.engine().client, client.engine().state.view);
    EXPECT_EQ(client.fixture.content_of("element/fresh/deep/n1.pck"), std::nullopt);
    EXPECT_EQ(client.fixture.content_of("element/n2.pck"), std::nullopt);
    EXPECT_TRUE(fs::is_directory(client.fixture.root() / L"element" / L"fresh" / L"deep"));
    EXPECT_FALSE(file_exists(client.engine().client.transaction_path));
    EXPECT_FALSE(fs::exists(client.folder));
    EXPECT_TRUE(file_exists(client.engine().client.marker_path));  // the update clears it
}

// Older builds wrote no layout, or an empty one.
TEST(Recovery, RollsBackTheOlderLayout) {
    for (const bool empty : {false, true}) {
        CrashedClient client(pair, "all_published", 1);
        const fs::path legacy_parent = client.fixture.root() / L".vornell-transactions";
        fs::create_directories(legacy_parent);
        fs::rename(client.folder, legacy_parent / to_utf16(client.id));
        client.edit_journal([&](json& journal) {
            if (empty) {
                journal["layout"] = "";
            } else {
                journal.erase("layout");
            }
        });

        recover_transaction(client.engine().client, client.engine().state.view);
        EXPECT_EQ(client.fixture.content_of("element/a.pck"), "a old") << empty;
        EXPECT_EQ(client.fixture.content_of("element/b.pck"), "b old");
        EXPECT_FALSE(file_exists(client.engine().client.transaction_path));
        EXPECT_FALSE(fs::exists(legacy_parent));
    }
}

TEST(Recovery, EmptyEntriesRemoveJournalAndFolder) {
    CrashedClient client(pair, "journal_written", 1);
    ASSERT_TRUE(fs::exists(client.folder / L"backups" / L"1.bin"));
    client.edit_journal([](json& journal) { journal["entries"] = json::array(); });

    recover_transaction(client.engine().client, client.engine().state.view);
    EXPECT_FALSE(file_exists(client.engine().client.transaction_path));
    EXPECT_FALSE(fs::exists(client.folder));
    EXPECT_EQ(client.fixture.content_of("element/a.pck"), "a old");
}

}  // namespace
}  // namespace vorn
