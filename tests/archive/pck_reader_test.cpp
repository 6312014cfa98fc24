#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/pck_format.h"
#include "archive/pck_index.h"
#include "support/pck_keys.h"
#include "support/pck_writer.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using test::writer_keys;

namespace fs = std::filesystem;
using test::build_pck;
using test::encode_name;
using test::PckImage;
using test::PckWriterArchive;
using test::PckWriterEntry;
using test::zlib_stream;

// The one sentence the user reads for every archive failure.
const std::wstring archive_message =
    L"Не удалось безопасно обновить архив клиента. Файлы не изменены.";

std::string repeated(const std::string& unit, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += unit;
    }
    return out;
}

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Three entries: zlib data with a raw record, raw data with a raw record, raw data with a
// zlib record; the last block ends exactly where the index begins.
PckWriterArchive base_archive(std::size_t which) {
    PckWriterArchive archive;
    archive.keys = writer_keys(which);
    archive.description = "reader tests";
    archive.entries = {
        {.name = "Textures/Sky.dds", .content = repeated("sky-blue ", 60), .compressed = true},
        {.name = "models\\tree.ski", .content = "0123456789abcdefghij"},
        {.name = "Configs/Items.txt", .content = "sword=1\nshield=2\n", .zlib_record = true},
    };
    return archive;
}

fs::path write_archive(const test::ScopedTempDir& dir, const PckImage& image,
                       const wchar_t* name = L"game.pck") {
    const fs::path path = dir / name;
    test::write_raw_file(path, image.flat());
    return path;
}

PckIndex parse_file(const fs::path& pck) {
    return parse_archive(open_archive_pair(pck, std::nullopt), ArchivePart::whole);
}

// Every entry's data as stored, read back through the reader and checked.
void expect_entries_readable(const ArchiveReader& reader, const PckIndex& index,
                             const PckWriterArchive& archive, const PckImage& image) {
    ASSERT_EQ(index.entries.size(), archive.entries.size());
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const PckEntry& entry = index.entries[i];
        SCOPED_TRACE(entry.raw_name);
        EXPECT_EQ(entry.data_offset, image.data_offsets[i]);
        EXPECT_EQ(entry.uncompressed_size, archive.entries[i].content.size());
        EXPECT_EQ(text(reader.read(entry.data_offset, entry.stored_size)),
                  image.bytes(image.data_offsets[i], entry.stored_size));
        EXPECT_NO_THROW(verify_entry_data(reader, entry));
    }
}

// A CJK character whose code page 936 form ends in `trail`, a byte that is also ASCII.
std::wstring cjk_with_trail_byte(char trail) {
    for (wchar_t c = 0x4E00; c < 0x9FA5; ++c) {
        char bytes[4];
        BOOL lossy = FALSE;
        if (WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, &c, 1, bytes, 4, nullptr, &lossy) == 2 &&
            !lossy && bytes[1] == trail) {
            return std::wstring(1, c);
        }
    }
    return {};
}

TEST(PckReader, ReadsValidArchivesWithEitherKeyPair) {
    const std::wstring backslash_trail = cjk_with_trail_byte('\\');
    const std::wstring bar_trail = cjk_with_trail_byte('|');
    ASSERT_FALSE(backslash_trail.empty());
    ASSERT_FALSE(bar_trail.empty());
    for (std::size_t which : {0u, 1u}) {
        SCOPED_TRACE("key pair " + std::to_string(which));
        test::ScopedTempDir dir;
        PckWriterArchive archive;
        archive.keys = writer_keys(which);
        archive.description = std::string(256, '\xEE');
        archive.entries = {
            {.name = encode_name(L"Interfaces/Иконки/Моя.DDS", 1251),
             .content = repeated("pixel ", 400),
             .compressed = true},
            {.name = encode_name(L"界面/图标/Sword.DDS", 936),
             .content = "raw bytes stored as is",
             .data_offset = 4096,
             .record_size = 276},
            {.name = encode_name(L"Gfx/" + backslash_trail + L"/" + bar_trail + L".gfx", 936),
             .content = repeated("zlib record ", 30),
             .compressed = true,
             .data_offset = 1000,
             .zlib_record = true},
            {.name = "Empty.TXT", .content = "", .record_size = 276, .zlib_record = true},
            {.name = "..a/b..c/.d", .content = "dots inside names", .data_offset = 9000},
        };
        const PckImage image = build_pck(archive);
        const fs::path pck = write_archive(dir, image);

        const ArchiveReader reader = open_archive_pair(pck, std::nullopt);
        EXPECT_EQ(reader.size(), image.size);
        EXPECT_FALSE(reader.is_tail_view());
        const PckIndex index = parse_archive(reader, ArchivePart::whole);
        EXPECT_EQ(index.keys, pck_key_pair(which));
        EXPECT_EQ(index.index_offset, image.index_offset);
        ASSERT_EQ(index.entries.size(), 5u);
        const std::vector<std::wstring> identities = {
            L"interfaces\\иконки\\моя.dds",
            L"界面\\图标\\sword.dds",
            L"gfx\\" + backslash_trail + L"\\" + bar_trail + L".gfx",
            L"empty.txt",
            L"..a\\b..c\\.d",
        };
        for (std::size_t i = 0; i < identities.size(); ++i) {
            EXPECT_EQ(index.entries[i].raw_name, archive.entries[i].name);
            EXPECT_EQ(index.entries[i].identity, identities[i]);
            ASSERT_EQ(index.identities.count(identities[i]), 1u);
            EXPECT_EQ(index.identities.at(identities[i]), i);
        }
        EXPECT_LT(index.entries[0].stored_size, index.entries[0].uncompressed_size);
        EXPECT_EQ(index.entries[1].stored_size, index.entries[1].uncompressed_size);
        expect_entries_readable(reader, index, archive, image);
    }
}

TEST(PckReader, NameIdentityDecodesInTheGameCodePages) {
    // The same bytes as the reader would take them from a record.
    EXPECT_EQ(pck_name_identity(encode_name(L"Модели/Оружие/Моя.SKI", 1251)),
              L"модели\\оружие\\моя.ski");
    EXPECT_EQ(pck_name_identity(encode_name(L"人物/Hero.ECM", 936)), L"人物\\hero.ecm");
    VORN_EXPECT_ERROR(pck_name_identity(""), "pck_rebase_name");
    VORN_EXPECT_ERROR(pck_name_identity(std::string(260, 'a')), "pck_rebase_name");
    EXPECT_EQ(pck_name_identity(std::string(259, 'a')), std::wstring(259, L'a'));
}

// A name that code page 936 refuses but 54936 takes (a four-byte sequence).
TEST(PckReader, NameIdentityFallsBackToCodePage54936) {
    char probe[8];
    const wchar_t grave = L'\u00C0';
    if (WideCharToMultiByte(54936, 0, &grave, 1, probe, sizeof(probe), nullptr, nullptr) != 4) {
        GTEST_SKIP() << "code page 54936 is not available on this system (Wine 8 has none)";
    }
    EXPECT_EQ(pck_name_identity(encode_name(L"Maps/\u00C0vila.DAT", 54936)),
              L"maps\\\u00E0vila.dat");
}

// Relative paths are taken from the current folder.
TEST(PckReader, OpensARelativePath) {
    test::ScopedTempDir dir;
    write_archive(dir, build_pck(base_archive(0)));
    wchar_t previous[MAX_PATH + 1];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH + 1, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    PckIndex index;
    EXPECT_NO_THROW(index = parse_file(L"game.pck"));
    EXPECT_EQ(index.entries.size(), 3u);
    SetCurrentDirectoryW(previous);
}

// Accepted shapes at the edges of the rules.
TEST(PckReader, AcceptsArchivesAtTheEdgesOfTheRules) {
    struct Edge {
        const char* what;
        std::function<void(PckWriterArchive&)> apply;
    };
    const std::vector<Edge> edges = {
        {"zlib record inflating to 276 bytes",
         [](PckWriterArchive& a) {
             a.entries[1].record_size = 276;
             a.entries[1].zlib_record = true;
         }},
        {"raw record of 276 bytes", [](PckWriterArchive& a) { a.entries[2].record_size = 276; }},
        {"zlib records only",
         [](PckWriterArchive& a) {
             for (PckWriterEntry& entry : a.entries) {
                 entry.zlib_record = true;
             }
         }},
        {"name of 259 bytes",
         [](PckWriterArchive& a) { a.entries[1].name = std::string(259, 'n'); }},
        {"an empty entry", [](PckWriterArchive& a) { a.entries[1].content.clear(); }},
        {"blocks in another order than the index, with gaps",
         [](PckWriterArchive& a) {
             a.entries[0].data_offset = 3000;
             a.entries[1].data_offset = 500;
             a.entries[2].data_offset = 12;
         }},
        {"a gap before the index", [](PckWriterArchive& a) { a.index_offset = 70000; }},
        {"key pair 1", [](PckWriterArchive& a) { a.keys = writer_keys(1); }},
    };
    for (const Edge& edge : edges) {
        SCOPED_TRACE(edge.what);
        test::ScopedTempDir dir;
        PckWriterArchive archive = base_archive(0);
        edge.apply(archive);
        const PckImage image = build_pck(archive);
        const fs::path pck = write_archive(dir, image);
        const ArchiveReader reader = open_archive_pair(pck, std::nullopt);
        PckIndex index;
        ASSERT_NO_THROW(index = parse_archive(reader, ArchivePart::whole));
        expect_entries_readable(reader, index, archive, image);
    }
}

TEST(PckReader, LargestEntrySizeIsAcceptedByTheIndex) {
    test::ScopedTempDir dir;
    PckWriterArchive archive = base_archive(0);
    archive.entries[0].uncompressed_field = 268435456;
    const fs::path pck = write_archive(dir, build_pck(archive));
    const ArchiveReader reader = open_archive_pair(pck, std::nullopt);
    const PckIndex index = parse_archive(reader, ArchivePart::whole);
    EXPECT_EQ(index.entries[0].uncompressed_size, 268435456u);
    // Its stream inflates to far less than that.
    VORN_EXPECT_ERROR(verify_entry_data(reader, index.entries[0]), "pck_rebase_payload");
}

// The most entries an archive may hold; only zlib records keep their index under 256 MiB.
TEST(PckReader, ReadsTheLargestEntryCount) {
    test::ScopedTempDir dir;
    PckWriterArchive archive;
    archive.keys = writer_keys(1);
    archive.entries.resize(1000000);
    for (std::size_t i = 0; i < archive.entries.size(); ++i) {
        archive.entries[i].name = "Dir" + std::to_string(i % 100) + "/E" + std::to_string(i);
        archive.entries[i].zlib_record = true;
    }
    archive.entries.back().content = "last";
    const PckImage image = build_pck(archive);
    const fs::path pck = write_archive(dir, image);
    const ArchiveReader reader = open_archive_pair(pck, std::nullopt);
    PckIndex index;
    ASSERT_NO_THROW(index = parse_archive(reader, ArchivePart::whole));
    ASSERT_EQ(index.entries.size(), 1000000u);
    EXPECT_EQ(index.identities.size(), 1000000u);
    EXPECT_EQ(index.entries[123456].identity, L"dir56\\e123456");
    EXPECT_EQ(text(reader.read(index.entries.back().data_offset, 4)), "last");
}

// An index of exactly 256 MiB (52 records of 272 bytes and 945,144 of 276, each with its
// 8-byte prefix) is the largest accepted.
TEST(PckReader, ReadsAnIndexOfTheLargestSize) {
    test::ScopedTempDir dir;
    PckWriterArchive archive;
    archive.keys = writer_keys(0);
    archive.entries.resize(52 + 945144);
    for (std::size_t i = 0; i < archive.entries.size(); ++i) {
        archive.entries[i].name = "E" + std::to_string(i);
        archive.entries[i].record_size = i < 52 ? 272 : 276;
    }
    const PckImage image = build_pck(archive);
    ASSERT_EQ(image.size - 280 - image.index_offset, 268435456u);
    const fs::path pck = dir / L"big-index.pck";
    test::write_pck_files(image, pck, dir / L"big-index.pkx");
    PckIndex index;
    ASSERT_NO_THROW(index = parse_file(pck));
    EXPECT_EQ(index.entries.size(), archive.entries.size());
}

// A candidate index offset field that points nowhere usable for either key pair.
std::uint32_t offset_field_for_no_pair(std::uint64_t size) {
    for (std::uint32_t offset : {0u, 4u, 8u, 0xFFFFFFF0u, 0x7FFFFFF0u, 0x3FFFFFF0u}) {
        const std::uint32_t field = offset ^ pck_key_pair(0).key1;
        const std::uint64_t other = field ^ pck_key_pair(1).key1;
        if (other < 12 || other + 8 > size - 280) {
            return field;
        }
    }
    ADD_FAILURE() << "no offset field fits neither key pair";
    return 0;
}

enum class Step { parse, verify };

struct Fault {
    std::string what;
    std::function<void(PckWriterArchive&)> apply;
    const char* stage;
    Step step = Step::parse;
    std::size_t entry = 0;  // the entry whose data is verified
};

std::vector<Fault> archive_faults() {
    std::vector<Fault> faults = {
        {"first header tag", [](PckWriterArchive& a) { a.header_tag1 ^= 1; }, "pck_rebase_header"},
        {"second header tag", [](PckWriterArchive& a) { a.header_tag2 ^= 0x100; },
         "pck_rebase_header"},
        {"size in the header",
         [](PckWriterArchive& a) {
             a.size_field = static_cast<std::uint32_t>(build_pck(a).size + 1);
         },
         "pck_rebase_header"},
        {"first footer tag", [](PckWriterArchive& a) { a.footer_tag1 ^= 1; }, "pck_rebase_footer"},
        {"second footer tag", [](PckWriterArchive& a) { a.footer_tag2 ^= 1; }, "pck_rebase_footer"},
        {"first footer version", [](PckWriterArchive& a) { a.footer_version1 = 0x00020001; },
         "pck_rebase_footer"},
        {"second footer version", [](PckWriterArchive& a) { a.footer_version2 = 0x00030002; },
         "pck_rebase_footer"},
        {"entry count 0", [](PckWriterArchive& a) { a.entry_count = 0; }, "pck_rebase_limit"},
        {"entry count 1,000,001", [](PckWriterArchive& a) { a.entry_count = 1000001; },
         "pck_rebase_limit"},
        {"index offset fitting neither key pair",
         [](PckWriterArchive& a) {
             a.index_offset_field = offset_field_for_no_pair(build_pck(a).size);
         },
         "pck_rebase_index"},
        {"index offset one byte off",
         [](PckWriterArchive& a) {
             a.index_offset_field =
                 static_cast<std::uint32_t>(build_pck(a).index_offset + 1) ^ a.keys.key1;
         },
         "pck_rebase_index"},
        {"length prefixes of the first record differ",
         [](PckWriterArchive& a) { a.entries[0].second_length = 271; }, "pck_rebase_index"},
        {"length prefixes of a later record differ",
         [](PckWriterArchive& a) { a.entries[1].second_length = 276; }, "pck_rebase_index"},
        {"record of 0 bytes", [](PckWriterArchive& a) { a.entries[1].record = ""; },
         "pck_rebase_index"},
        {"raw record of 273 bytes", [](PckWriterArchive& a) { a.entries[1].record_size = 273; },
         "pck_rebase_index"},
        {"raw record of 277 bytes", [](PckWriterArchive& a) { a.entries[1].record_size = 277; },
         "pck_rebase_index"},
        {"zlib record inflating to 300 bytes",
         [](PckWriterArchive& a) {
             a.entries[1].record_size = 300;
             a.entries[1].zlib_record = true;
         },
         "pck_rebase_index"},
        {"zlib record inflating to 271 bytes",
         [](PckWriterArchive& a) {
             a.entries[1].record_size = 271;
             a.entries[1].zlib_record = true;
         },
         "pck_rebase_index"},
        {"zlib record with bytes after its stream",
         [](PckWriterArchive& a) { a.entries[2].record_tail = "zz"; }, "pck_rebase_index"},
        {"zlib record that is not deflate data",
         [](PckWriterArchive& a) { a.entries[2].record = "\x78\xDA" + std::string(40, '\xFF'); },
         "pck_rebase_index"},
        {"entry count one above the records", [](PckWriterArchive& a) { a.entry_count = 4; },
         "pck_rebase_index"},
        {"entry count one below the records", [](PckWriterArchive& a) { a.entry_count = 2; },
         "pck_rebase_index"},
        {"index not ending at the footer",
         [](PckWriterArchive& a) { a.after_index = std::string(8, '\0'); }, "pck_rebase_index"},
        {"stored size above the uncompressed size",
         [](PckWriterArchive& a) { a.entries[0].uncompressed_field = 10; }, "pck_rebase_span"},
        {"zero stored size with a non-zero size",
         [](PckWriterArchive& a) { a.entries[1].stored_field = 0; }, "pck_rebase_span"},
        {"data offset below 12", [](PckWriterArchive& a) { a.entries[1].offset_field = 11; },
         "pck_rebase_span"},
        {"data reaching one byte past the index",
         [](PckWriterArchive& a) {
             const auto size = static_cast<std::uint32_t>(a.entries[2].content.size() + 1);
             a.entries[2].uncompressed_field = size;
             a.entries[2].stored_field = size;
         },
         "pck_rebase_span"},
        {"data offset far beyond the archive",
         [](PckWriterArchive& a) { a.entries[1].offset_field = 0xFFFFFFF0; }, "pck_rebase_span"},
        {"uncompressed size above 256 MiB",
         [](PckWriterArchive& a) { a.entries[0].uncompressed_field = 268435457; },
         "pck_rebase_span"},
        {"names differing in case and separator",
         [](PckWriterArchive& a) {
             a.entries[1].name = "Textures/A.dds";
             a.entries[2].name = "textures\\a.DDS";
         },
         "pck_rebase_duplicate"},
        {"Cyrillic names differing in case",
         [](PckWriterArchive& a) {
             a.entries[0].name = encode_name(L"Текстуры/Я.dds", 1251);
             a.entries[2].name = encode_name(L"текстуры\\я.DDS", 1251);
         },
         "pck_rebase_duplicate"},
        {"zlib data inflating to one byte less than its size",
         [](PckWriterArchive& a) {
             a.entries[0].uncompressed_field =
                 static_cast<std::uint32_t>(a.entries[0].content.size() + 1);
         },
         "pck_rebase_payload", Step::verify, 0},
        {"zlib data inflating to one byte more than its size",
         [](PckWriterArchive& a) {
             a.entries[0].uncompressed_field =
                 static_cast<std::uint32_t>(a.entries[0].content.size() - 1);
         },
         "pck_rebase_payload", Step::verify, 0},
        {"bytes after the zlib stream of the data",
         [](PckWriterArchive& a) {
             a.entries[0].stored = zlib_stream(a.entries[0].content) + "zz";
         },
         "pck_rebase_payload", Step::verify, 0},
        {"zlib data cut short",
         [](PckWriterArchive& a) {
             const std::string stream = zlib_stream(a.entries[0].content);
             a.entries[0].stored = stream.substr(0, stream.size() - 4);
         },
         "pck_rebase_payload", Step::verify, 0},
        {"zlib data with a corrupt byte",
         [](PckWriterArchive& a) {
             std::string stream = zlib_stream(a.entries[0].content);
             stream[stream.size() / 2] ^= 0x55;
             a.entries[0].stored = stream;
         },
         "pck_rebase_payload", Step::verify, 0},
        {"data that is no zlib stream",
         [](PckWriterArchive& a) { a.entries[0].stored = std::string(30, 'q'); },
         "pck_rebase_payload", Step::verify, 0},
    };
    // Names: each row puts one refused name on the middle entry.
    const std::vector<std::string> refused_names = {
        std::string(260, 'a'),  // fills the field: no NUL
        "",
        "a:b.txt",
        "dir/../x.txt",
        "..",
        "dir/./x.txt",
        "x.txt ",
        "x.txt.",
        "dir /x.txt",
        "dir./x.txt",
        "a\x01.txt",
        "a\x1F.txt",
        "a\x7F.txt",
        "a\"b.txt",
        "a*b.txt",
        "a<b.txt",
        "a>b.txt",
        "a?b.txt",
        "a|b.txt",
        "/x.txt",
        "dir//x.txt",
        "dir\\",
        "dir\\\\x.txt",
    };
    for (const std::string& name : refused_names) {
        faults.push_back(
            {"name \"" + name.substr(0, 20) + "\" (" + std::to_string(name.size()) + " bytes)",
             [name](PckWriterArchive& a) { a.entries[1].name = name; }, "pck_rebase_name"});
    }
    return faults;
}

TEST(PckReader, RefusesEachBrokenArchiveAtItsStage) {
    test::ScopedTempDir dir;
    {
        // The unbroken archive passes, so each row's fault is the only one.
        const PckWriterArchive archive = base_archive(0);
        const PckImage image = build_pck(archive);
        const fs::path pck = write_archive(dir, image);
        const ArchiveReader reader = open_archive_pair(pck, std::nullopt);
        expect_entries_readable(reader, parse_archive(reader, ArchivePart::whole), archive, image);
    }
    for (const Fault& fault : archive_faults()) {
        SCOPED_TRACE(fault.what);
        PckWriterArchive archive = base_archive(0);
        fault.apply(archive);
        const fs::path pck = write_archive(dir, build_pck(archive));
        if (fault.step == Step::parse) {
            VORN_EXPECT_ERROR(parse_file(pck), fault.stage, archive_message);
            continue;
        }
        const ArchiveReader reader = open_archive_pair(pck, std::nullopt);
        PckIndex index;
        ASSERT_NO_THROW(index = parse_archive(reader, ArchivePart::whole));
        VORN_EXPECT_ERROR(verify_entry_data(reader, index.entries.at(fault.entry)), fault.stage,
                          archive_message);
    }
}

// The archive cut at T: the tail file holds the logical bytes from T on.
fs::path write_tail(const test::ScopedTempDir& dir, const PckImage& image, std::uint64_t start) {
    const fs::path path = dir / L"tail.bin";
    test::write_raw_file(path, image.flat().substr(start));
    return path;
}

// Entry 0 ends at 200, entry 1 lies at 200 ... 220, entry 2 at 300 ... ; the index follows.
PckWriterArchive tail_archive() {
    PckWriterArchive archive = base_archive(1);
    archive.entries[0].data_offset = 200 - zlib_stream(archive.entries[0].content).size();
    archive.entries[1].data_offset = 200;
    archive.entries[2].data_offset = 300;
    return archive;
}

TEST(PckTailView, ReadsTheIndexWithoutTheHeader) {
    test::ScopedTempDir dir;
    PckWriterArchive archive = tail_archive();
    archive.header_tag1 = 0;  // never read in a tail view
    const PckImage image = build_pck(archive);
    VORN_EXPECT_ERROR(parse_file(write_archive(dir, image)), "pck_rebase_header");

    for (std::uint64_t start : {12u, 200u}) {
        SCOPED_TRACE("tail from " + std::to_string(start));
        const ArchiveReader reader = open_tail_view(write_tail(dir, image, start), start);
        EXPECT_TRUE(reader.is_tail_view());
        EXPECT_EQ(reader.start(), start);
        EXPECT_EQ(reader.size(), image.size);
        PckIndex index;
        ASSERT_NO_THROW(index = parse_archive(reader, ArchivePart::tail));
        EXPECT_EQ(index.keys, pck_key_pair(1));
        EXPECT_EQ(index.index_offset, image.index_offset);
        ASSERT_EQ(index.entries.size(), 3u);
        for (std::size_t i = 1; i < 3; ++i) {
            EXPECT_EQ(text(reader.read(index.entries[i].data_offset, index.entries[i].stored_size)),
                      image.bytes(image.data_offsets[i], index.entries[i].stored_size));
            EXPECT_NO_THROW(verify_entry_data(reader, index.entries[i]));
        }
        VORN_EXPECT_ERROR(reader.read(0, 12), "pck_rebase_tail");
        VORN_EXPECT_ERROR(reader.read(start - 1, 2), "pck_rebase_tail");
        if (start == 200) {
            // Entry 0 ends exactly at T: allowed in the index, unreadable in the view.
            VORN_EXPECT_ERROR(verify_entry_data(reader, index.entries[0]), "pck_rebase_tail");
        }
        VORN_EXPECT_ERROR(reader.read(image.size - 4, 8), "pck_rebase_span");
    }
}

TEST(PckTailView, RefusesWhatTheTailCannotHold) {
    test::ScopedTempDir dir;
    const PckImage image = build_pck(tail_archive());
    // An entry that starts below T and ends above it.
    VORN_EXPECT_ERROR(
        parse_archive(open_tail_view(write_tail(dir, image, 210), 210), ArchivePart::tail),
        "pck_rebase_tail");
    // The index starting below T.
    const std::uint64_t past_index = image.index_offset + 1;
    VORN_EXPECT_ERROR(parse_archive(open_tail_view(write_tail(dir, image, past_index), past_index),
                                    ArchivePart::tail),
                      "pck_rebase_index");
    // Logical size below the smallest archive.
    test::write_raw_file(dir / L"short.bin", image.flat().substr(image.size - 279));
    VORN_EXPECT_ERROR(parse_archive(open_tail_view(dir / L"short.bin", 12), ArchivePart::tail),
                      "pck_rebase_format");
    VORN_EXPECT_ERROR(open_tail_view(dir / L"short.bin", 0xFFFFFF00), "pck_rebase_limit");
}

TEST(PckPaths, RefusesLinkedFoldersAndFoldersAsArchives) {
    VORN_REQUIRE_FIXTURE(links, "links");
    const std::wstring name = L"vorn-archive-test-" + std::to_wstring(GetCurrentProcessId());
    const fs::path real = links / L"dir_target" / (name + L".pck");
    const fs::path linked = links / L"dir_link" / (name + L".pck");
    const PckImage image = build_pck(base_archive(0));
    test::write_raw_file(real, image.flat());
    test::write_raw_file(links / L"dir_target" / (name + L".tail"), image.flat().substr(12));
    struct Cleanup {
        fs::path a, b;
        ~Cleanup() {
            std::error_code ignored;  // leftovers in the fixture folder do not fail the test
            fs::remove(a, ignored);
            fs::remove(b, ignored);
        }
    } cleanup{real, links / L"dir_target" / (name + L".tail")};

    EXPECT_NO_THROW(parse_file(real));
    VORN_EXPECT_ERROR(open_archive_pair(linked, std::nullopt), "pck_rebase_reparse");
    VORN_EXPECT_ERROR(open_archive_pair(real, linked), "pck_rebase_reparse");
    VORN_EXPECT_ERROR(open_tail_view(links / L"dir_link" / (name + L".tail"), 12),
                      "pck_rebase_reparse");
    EXPECT_NO_THROW(open_tail_view(links / L"dir_target" / (name + L".tail"), 12));
    // A link that leads nowhere yet still stops the path.
    VORN_EXPECT_ERROR(open_archive_pair(links / L"dir_link" / L"absent.pck", std::nullopt),
                      "pck_rebase_reparse");
    VORN_EXPECT_ERROR(open_archive_pair(links / L"dir_link", std::nullopt), "pck_rebase_reparse");
    VORN_EXPECT_ERROR(open_archive_pair(links / L"dir_target", std::nullopt), "pck_rebase_reparse");
    VORN_EXPECT_ERROR(open_archive_pair(links / L"dir_target" / L"absent.pck", std::nullopt),
                      "pck_rebase_read");
}

}  // namespace
}  // namespace vorn
