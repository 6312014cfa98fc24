// Split archives of more than 2 GiB, laid out as sparse files: only the header, the entries
// and the index take disk space.
#include <gtest/gtest.h>

#include <windows.h>

#include <bit>
#include <filesystem>
#include <string>

#include "archive/archive_reader.h"
#include "archive/pck_format.h"
#include "archive/pck_index.h"
#include "support/pck_keys.h"
#include "support/pck_writer.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using test::writer_keys;

namespace fs = std::filesystem;
using test::build_pck;
using test::PckImage;
using test::PckWriterArchive;
using test::zlib_stream;

constexpr std::uint64_t split = test::pck_part_size;
constexpr std::uint64_t mib = 1048576;
// What the sparse files of one test may take on disk at most.
constexpr std::uint64_t most_disk_used = 256 * mib;

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Letters from a small alphabet: zlib halves them, no more.
std::string letters(std::size_t size, std::uint32_t seed) {
    std::string out(size, '\0');
    for (char& c : out) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>('a' + (seed >> 28));
    }
    return out;
}

std::uint64_t free_bytes(const fs::path& dir) {
    ULARGE_INTEGER available{};
    EXPECT_TRUE(GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr));
    return available.QuadPart;
}

// Fails the test when the files written since construction took real disk space.
class SparseCheck {
  public:
    explicit SparseCheck(const fs::path& dir) : dir_(dir), before_(free_bytes(dir)) {}
    void expect_sparse() const {
        const std::uint64_t after = free_bytes(dir_);
        EXPECT_LT(before_ > after ? before_ - after : 0, most_disk_used)
            << "the test archives took real disk space: this file system keeps no holes";
    }

  private:
    fs::path dir_;
    std::uint64_t before_;
};

void expect_entries_verified(const ArchiveReader& reader, const PckIndex& index,
                             const PckImage& image) {
    ASSERT_EQ(index.entries.size(), image.data_offsets.size());
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const PckEntry& entry = index.entries[i];
        SCOPED_TRACE(entry.raw_name);
        EXPECT_EQ(entry.data_offset, image.data_offsets[i]);
        EXPECT_EQ(text(reader.read(entry.data_offset, entry.stored_size)),
                  image.bytes(entry.data_offset, entry.stored_size));
        EXPECT_NO_THROW(verify_entry_data(reader, entry));
    }
}

TEST(SplitArchive, ReadsAcrossTheBoundary) {
    for (const bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "zlib entry across the boundary"
                                : "raw entry across the boundary");
        test::ScopedTempDir dir;
        const SparseCheck sparse(dir.path());
        const std::string spanning = letters(5 * mib, 7);
        const std::uint64_t stored = compressed ? zlib_stream(spanning).size() : spanning.size();
        PckWriterArchive archive;
        archive.keys = writer_keys(1);
        archive.entries = {
            {.name = "first.txt", .content = "at the start of the .pck"},
            {.name = "Big/Spanning.bin",
             .content = spanning,
             .compressed = compressed,
             .data_offset = split - stored / 2},
            {.name = "Big/InThePkx.txt", .content = letters(5000, 3), .compressed = true},
        };
        const PckImage image = build_pck(archive);
        ASSERT_GT(stored, 2 * mib);  // more than one read block on each side
        const fs::path pck = dir / L"big.pck";
        const fs::path pkx = dir / L"big.pkx";
        test::write_pck_files(image, pck, pkx);
        ASSERT_EQ(fs::file_size(pck), split);
        ASSERT_EQ(fs::file_size(pkx), image.size - split);
        sparse.expect_sparse();

        const ArchiveReader reader = open_archive_pair(pck, pkx);
        EXPECT_EQ(reader.size(), image.size);
        PckIndex index;
        ASSERT_NO_THROW(index = parse_archive(reader, ArchivePart::whole));
        EXPECT_EQ(index.index_offset, image.index_offset);
        EXPECT_GT(index.index_offset, split);
        expect_entries_verified(reader, index, image);
        EXPECT_EQ(text(reader.read(split - 3, 6)), image.bytes(split - 3, 6));
        EXPECT_EQ(text(reader.read(split - 1, 1)), image.bytes(split - 1, 1));
        EXPECT_EQ(text(reader.read(split, 1)), image.bytes(split, 1));
        VORN_EXPECT_ERROR(reader.read(image.size - 4, 8), "pck_rebase_span");
        VORN_EXPECT_ERROR(reader.read(image.size, 1), "pck_rebase_span");
        EXPECT_EQ(reader.read(image.size, 0).size(), 0u);
    }
}

// A valid archive of exactly `size` bytes: its index placed right before the footer.
PckImage archive_of_size(std::uint64_t size) {
    PckWriterArchive archive;
    archive.keys = writer_keys(0);
    archive.entries = {
        {.name = "a.txt", .content = "first"},
        {.name = "b.txt", .content = letters(3000, 1), .compressed = true, .data_offset = 100000},
    };
    archive.index_offset = 200000;
    const std::uint64_t index_size = build_pck(archive).size - 200000 - 280;
    archive.index_offset = size - 280 - index_size;
    return build_pck(archive);
}

TEST(SplitArchive, LayoutOfThePair) {
    test::ScopedTempDir dir;
    const SparseCheck sparse(dir.path());
    const PckImage exact = archive_of_size(split);
    ASSERT_EQ(exact.size, split);
    const fs::path pck = dir / L"exact.pck";
    const fs::path empty_pkx = dir / L"exact.pkx";
    test::write_pck_files(exact, pck, empty_pkx);
    test::write_raw_file(empty_pkx, "");
    ASSERT_EQ(fs::file_size(pck), split);

    // A .pck of exactly the split size with an empty or no .pkx is a single-file archive.
    for (const auto& pkx : {std::optional<fs::path>(empty_pkx), std::optional<fs::path>()}) {
        SCOPED_TRACE(pkx ? "empty .pkx" : "no .pkx");
        const ArchiveReader reader = open_archive_pair(pck, pkx);
        EXPECT_EQ(reader.size(), split);
        PckIndex index;
        ASSERT_NO_THROW(index = parse_archive(reader, ArchivePart::whole));
        expect_entries_verified(reader, index, exact);
        // Nothing lies past the .pck: beyond the logical size.
        VORN_EXPECT_ERROR(reader.read(split - 4, 8), "pck_rebase_span");
    }

    // A .pck one byte short of the split size cannot have a continuation.
    const fs::path short_pck = dir / L"short.pck";
    test::write_sparse(short_pck, 0, split - 1, exact.parts);
    const fs::path pkx = dir / L"some.pkx";
    test::write_raw_file(pkx, std::string(1000, 'x'));
    VORN_EXPECT_ERROR(open_archive_pair(short_pck, pkx), "pck_rebase_layout");
    EXPECT_NO_THROW(open_archive_pair(short_pck, empty_pkx));

    // The .pck and the .pkx the same file, by the same path or through a hard link.
    VORN_EXPECT_ERROR(open_archive_pair(pck, pck), "pck_rebase_alias");
    const fs::path hard_link = dir / L"hard.pkx";
    if (CreateHardLinkW(hard_link.c_str(), pck.c_str(), nullptr)) {
        VORN_EXPECT_ERROR(open_archive_pair(pck, hard_link), "pck_rebase_alias");
    } else {
        ADD_FAILURE() << "CreateHardLinkW failed: " << GetLastError();
    }

    // Sizes of either part outside the layout.
    const fs::path big_pkx = dir / L"big.pkx";
    test::write_sparse(big_pkx, 0, 0x80000000, {});
    VORN_EXPECT_ERROR(open_archive_pair(pck, big_pkx), "pck_rebase_layout");
    test::write_sparse(big_pkx, 0, 0x7FFFFFFF, {});
    EXPECT_EQ(open_archive_pair(pck, big_pkx).size(), 0xFFFFFEFFu);
    const fs::path long_pck = dir / L"long.pck";
    test::write_sparse(long_pck, 0, split + 1, exact.parts);
    VORN_EXPECT_ERROR(open_archive_pair(long_pck, std::nullopt), "pck_rebase_layout");
    test::write_raw_file(dir / L"zero.pck", "");
    VORN_EXPECT_ERROR(open_archive_pair(dir / L"zero.pck", std::nullopt), "pck_rebase_layout");
    VORN_EXPECT_ERROR(open_archive_pair(dir / L"zero.pck", pkx), "pck_rebase_layout");

    // Logical sizes around the smallest archive.
    test::write_raw_file(dir / L"291.pck", std::string(291, '\0'));
    VORN_EXPECT_ERROR(open_archive_pair(dir / L"291.pck", std::nullopt), "pck_rebase_limit");
    test::write_raw_file(dir / L"292.pck", std::string(292, '\0'));
    EXPECT_EQ(open_archive_pair(dir / L"292.pck", std::nullopt).size(), 292u);
    VORN_EXPECT_ERROR(
        parse_archive(open_archive_pair(dir / L"292.pck", std::nullopt), ArchivePart::whole),
        "pck_rebase_header");

    // Parts that are not there.
    const auto absent =
        test::capture_error([&] { open_archive_pair(dir / L"absent.pck", std::nullopt); });
    ASSERT_TRUE(absent.has_value());
    EXPECT_EQ(absent->stage, "pck_rebase_read");
    EXPECT_EQ(absent->win32, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    VORN_EXPECT_ERROR(open_archive_pair(pck, dir / L"absent.pkx"), "pck_rebase_read");
    sparse.expect_sparse();
}

void put_u32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

// The footer's index offset field decodes under each key pair to its own offset; a length
// prefix that fits the other pair at its offset makes the archive ambiguous.
TEST(SplitArchive, RefusesAnIndexOffsetThatFitsBothKeyPairs) {
    const std::uint32_t apart = pck_key_pair(0).key1 ^ pck_key_pair(1).key1;
    if (apart < 0x10000 || (16 ^ apart) > 0xF0000000u) {
        GTEST_SKIP() << "the key1 values of this build's pairs put the two candidate offsets "
                        "too close or too far apart for a test archive";
    }
    for (const std::size_t real : {0u, 1u}) {
        SCOPED_TRACE("index under key pair " + std::to_string(real));
        test::ScopedTempDir dir;
        const SparseCheck sparse(dir.path());
        const PckKeyPair& other = pck_key_pair(1 - real);
        PckWriterArchive archive;
        archive.keys = writer_keys(real);
        archive.entries = {
            {.name = "a.txt", .content = "first", .data_offset = 64},
            {.name = "b.txt", .content = letters(3000, 1), .compressed = true},
        };
        constexpr std::uint64_t decoy = 16;  // where the other pair's candidate lands
        archive.index_offset = decoy ^ apart;
        const fs::path pck = dir / L"both.pck";
        const fs::path pkx = dir / L"both.pkx";

        const PckImage valid = build_pck(archive);
        test::write_pck_files(valid, pck, pkx);
        const std::optional<fs::path> pkx_part =
            valid.size > split ? std::optional<fs::path>(pkx) : std::nullopt;
        {
            const ArchiveReader reader = open_archive_pair(pck, pkx_part);
            PckIndex index;
            ASSERT_NO_THROW(index = parse_archive(reader, ArchivePart::whole));
            EXPECT_EQ(index.keys, pck_key_pair(real));
            EXPECT_EQ(index.index_offset, decoy ^ apart);
            expect_entries_verified(reader, index, valid);
        }

        std::string prefix;
        put_u32(prefix, 272 ^ other.key1);
        put_u32(prefix, 272 ^ other.key2);
        archive.patches = {{decoy, prefix}};
        test::write_pck_files(build_pck(archive), pck, pkx);
        VORN_EXPECT_ERROR(parse_archive(open_archive_pair(pck, pkx_part), ArchivePart::whole),
                          "pck_rebase_index");
        sparse.expect_sparse();
    }
}

}  // namespace
}  // namespace vorn
