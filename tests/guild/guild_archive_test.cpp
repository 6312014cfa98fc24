#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/pck_format.h"
#include "core/sha256.h"
#include "core/unique_handle.h"
#include "guild/guild_archive.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"
#include "support/pck_keys.h"
#include "support/pck_writer.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using test::writer_keys;

namespace fs = std::filesystem;
using test::PckWriterArchive;
using test::PckWriterEntry;

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A surfaces archive as the game ships it: foreign entries around old guild icons, names
// in both separators and letter cases, raw and zlib records, a gap between blocks.
PckWriterArchive surfaces(std::size_t which = 0) {
    PckWriterArchive archive;
    archive.keys = writer_keys(which);
    archive.description = "surfaces";
    archive.entries = {
        {.name = "surfaces\\ui\\frame.dds", .content = std::string(700, 'f'), .compressed = true},
        {.name = "Surfaces\\IconSet\\IconList_Guild.dds", .content = "old atlas"},
        {.name = "surfaces/ui/button.dds", .content = "button", .zlib_record = true},
        {.name = "surfaces\\iconset\\iconlist_guild.txt", .content = "old list"},
        {.name = "surfaces\\ui\\gap.dds",
         .content = "after a gap",
         .data_offset = 2000,
         .record_size = 276},
    };
    return archive;
}

fs::path write_archive(const fs::path& path, const PckWriterArchive& archive) {
    test::write_raw_file(path, test::build_pck(archive).flat());
    return path;
}

struct ReaderRow {
    const char* what;
    std::function<fs::path(const fs::path& dir)> make;
    const char* stage;
    const wchar_t* message;
};

fs::path broken(const fs::path& dir, const std::function<void(PckWriterArchive&)>& edit) {
    PckWriterArchive archive = surfaces();
    edit(archive);
    return write_archive(dir / L"surfaces.pck", archive);
}

const std::vector<ReaderRow>& reader_rows() {
    static const std::vector<ReaderRow> rows = {
        {"a folder in its place",
         [](const fs::path& dir) {
             fs::create_directories(dir / L"surfaces.pck");
             return dir / L"surfaces.pck";
         },
         "guild_pck_safety", L"Архив иконок недоступен или является ссылкой."},
        {"smaller than any archive",
         [](const fs::path& dir) {
             test::write_raw_file(dir / L"surfaces.pck", std::string(291, 'x'));
             return dir / L"surfaces.pck";
         },
         "guild_pck_format", L"Формат архива иконок не поддерживается."},
        {"larger than any archive",
         [](const fs::path& dir) {
             test::write_sparse(dir / L"surfaces.pck", 0, 0xFFFF0001ULL, {});
             return dir / L"surfaces.pck";
         },
         "guild_pck_format", L"Формат архива иконок не поддерживается."},
        {"a wrong footer tag",
         [](const fs::path& dir) { return broken(dir, [](auto& a) { a.footer_tag2 = 1; }); },
         "guild_pck_format", L"Неверный заголовок архива иконок."},
        {"a continuation beside it",
         [](const fs::path& dir) {
             const fs::path pck = broken(dir, [](auto&) {});
             test::write_raw_file(dir / L"surfaces.pkx", "more");
             return pck;
         },
         "guild_pck_split", L"Для составного архива иконок требуется отдельная проверка."},
        {"more than a million entries",
         [](const fs::path& dir) { return broken(dir, [](auto& a) { a.entry_count = 1000001; }); },
         "guild_pck_limit", L"В архиве иконок слишком много записей."},
        {"no key pair fits",
         [](const fs::path& dir) {
             return broken(dir, [](auto& a) { a.index_offset_field = 0x12345678; });
         },
         "guild_pck_keys", L"Неизвестный формат таблицы архива иконок."},
        {"more entries counted than recorded",
         [](const fs::path& dir) { return broken(dir, [](auto& a) { a.entry_count = 6; }); },
         "guild_pck_index", L"Повреждена таблица архива иконок."},
        {"two length words that disagree",
         [](const fs::path& dir) {
             return broken(dir, [](auto& a) { a.entries[2].second_length = 271; });
         },
         "guild_pck_index", L"Повреждена запись архива иконок."},
        {"a record of neither size",
         [](const fs::path& dir) {
             return broken(dir, [](auto& a) { a.entries[3].record = std::string(200, 'r'); });
         },
         "guild_pck_index", L"Неверный размер записи архива иконок."},
        {"a name without its end",
         [](const fs::path& dir) {
             return broken(dir, [](auto& a) { a.entries[0].name = std::string(260, 'n'); });
         },
         "guild_pck_index", L"Неверное имя записи архива иконок."},
        {"data past the index",
         [](const fs::path& dir) {
             return broken(dir, [](auto& a) { a.entries[1].offset_field = 0x00FFFFFF; });
         },
         "guild_pck_index", L"Данные архива иконок выходят за границы."},
        {"bytes between the index and the footer",
         [](const fs::path& dir) { return broken(dir, [](auto& a) { a.after_index = "junk"; }); },
         "guild_pck_index", L"Таблица архива иконок имеет лишние данные."},
    };
    return rows;
}

TEST(GuildArchive, ReaderRefusesEveryRowOfItsTable) {
    for (const ReaderRow& row : reader_rows()) {
        SCOPED_TRACE(row.what);
        test::ScopedTempDir dir;
        const fs::path pck = row.make(dir.path());
        const auto error = test::capture_error([&] { read_guild_archive(pck); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->stage, row.stage);
        EXPECT_EQ(error->message, row.message);
    }
}

TEST(GuildArchive, AnArchiveHeldByAnotherProgramIsAReadFailure) {
    test::ScopedTempDir dir;
    const fs::path pck = write_archive(dir / L"surfaces.pck", surfaces());
    const UniqueFile held(CreateFileW(pck.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    const auto error = test::capture_error([&] { read_guild_archive(pck); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "guild_pck_read");
    EXPECT_EQ(error->message, L"Архив иконок повреждён или недоступен.");
    EXPECT_NE(error->win32, 0u);
}

TEST(GuildArchive, AnEmptyContinuationIsNoSplit) {
    test::ScopedTempDir dir;
    const fs::path pck = write_archive(dir / L"surfaces.pck", surfaces());
    test::write_raw_file(dir / L"surfaces.pkx", "");
    EXPECT_EQ(read_guild_archive(pck).index.entries.size(), 5u);
}

// Reads every entry's stored bytes by name.
std::map<std::string, std::string> stored_entries(const fs::path& pck) {
    const GuildArchive archive = read_guild_archive(pck);
    std::map<std::string, std::string> entries;
    for (const PckEntry& entry : archive.index.entries) {
        const Bytes data = archive.reader.read(entry.data_offset, entry.stored_size);
        entries[entry.raw_name] = std::string(data.begin(), data.end());
    }
    return entries;
}

TEST(GuildArchive, RebuildReplacesTheIconsAndKeepsEveryForeignEntry) {
    for (std::size_t which : {0, 1}) {
        SCOPED_TRACE(which);
        test::ScopedTempDir dir;
        const fs::path source = write_archive(dir / L"surfaces.pck", surfaces(which));
        const std::string before = test::read_raw_file(source);
        const fs::path staged = dir / L"staged.pck";
        const Bytes dds = bytes_of("DDS new atlas");
        const Bytes text = bytes_of("1\n2\n3\n4\nclan_1.dds\n");

        const std::string digest = build_guild_archive(source, staged, dds, text);
        EXPECT_EQ(digest, sha256_file(staged));
        EXPECT_EQ(test::read_raw_file(source), before);  // the source is only read

        const auto old_entries = stored_entries(source);
        const auto new_entries = stored_entries(staged);
        ASSERT_EQ(new_entries.size(), 5u);
        for (const auto& [name, data] : old_entries) {
            if (!is_guild_icon_entry(name)) {
                EXPECT_EQ(new_entries.at(name), data) << name;
            }
        }
        // The icon entries keep the spelling the archive had.
        EXPECT_EQ(new_entries.at("Surfaces\\IconSet\\IconList_Guild.dds"), "DDS new atlas");
        EXPECT_EQ(new_entries.at("surfaces\\iconset\\iconlist_guild.txt"),
                  "1\n2\n3\n4\nclan_1.dds\n");

        // Foreign records are copied byte for byte, in source order, before the new two.
        const GuildArchive old_archive = read_guild_archive(source);
        const GuildArchive new_archive = read_guild_archive(staged);
        EXPECT_EQ(new_archive.index.keys, old_archive.index.keys);
        std::vector<std::string> foreign;
        for (const PckEntry& entry : old_archive.index.entries) {
            if (!is_guild_icon_entry(entry.raw_name)) {
                foreign.push_back(entry.raw_name);
                const auto& copy = new_archive.index.entries[foreign.size() - 1];
                EXPECT_EQ(old_archive.reader.read(entry.record_offset, entry.record_bytes),
                          new_archive.reader.read(copy.record_offset, copy.record_bytes));
            }
        }
        EXPECT_EQ(foreign.size(), 3u);
    }
}

TEST(GuildArchive, AnArchiveWithoutIconsGetsThemUnderTheGamesSpelling) {
    test::ScopedTempDir dir;
    PckWriterArchive archive = surfaces();
    archive.entries.erase(archive.entries.begin() + 3);
    archive.entries.erase(archive.entries.begin() + 1);
    const fs::path source = write_archive(dir / L"surfaces.pck", archive);
    build_guild_archive(source, dir / L"staged.pck", bytes_of("atlas"), bytes_of("list"));
    const auto entries = stored_entries(dir / L"staged.pck");
    EXPECT_EQ(entries.at("surfaces\\iconset\\iconlist_guild.dds"), "atlas");
    EXPECT_EQ(entries.at("surfaces\\iconset\\iconlist_guild.txt"), "list");
    EXPECT_EQ(entries.size(), 5u);
}

TEST(GuildArchive, FailuresLeaveNoStagedFileAndNeverOverwriteOne) {
    test::ScopedTempDir dir;
    const fs::path source = write_archive(dir / L"surfaces.pck", surfaces());
    const fs::path staged = dir / L"staged.pck";
    test::write_raw_file(staged, "someone else's");
    VORN_EXPECT_ERROR(build_guild_archive(source, staged, bytes_of("a"), bytes_of("b")),
                      "guild_stage");
    EXPECT_EQ(test::read_raw_file(staged), "someone else's");

    fs::remove(staged);
    const fs::path damaged = broken(dir.path(), [](auto& a) { a.after_index = "junk"; });
    VORN_EXPECT_ERROR(build_guild_archive(damaged, staged, bytes_of("a"), bytes_of("b")),
                      "guild_pck_index");
    EXPECT_FALSE(fs::exists(staged));
}

TEST(GuildArchive, IconsThatWouldPassTheLargestArchiveAreRefusedBeforeWriting) {
    test::ScopedTempDir dir;
    PckWriterArchive archive = surfaces();
    // The data area ends just below the limit: the new atlas cannot fit.
    archive.entries.back().data_offset = 0xFFFF0000ULL - 4096;
    const test::PckImage image = test::build_pck(archive);
    test::write_sparse(dir / L"surfaces.pck", 0, image.size, image.parts);
    const fs::path staged = dir / L"staged.pck";
    const auto error = test::capture_error([&] {
        build_guild_archive(dir / L"surfaces.pck", staged, Bytes(8192, 1), bytes_of("list"));
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "guild_pck_limit");
    EXPECT_EQ(error->message, L"Архив иконок превышает допустимый размер.");
    EXPECT_FALSE(fs::exists(staged));
}

}  // namespace
}  // namespace vorn
