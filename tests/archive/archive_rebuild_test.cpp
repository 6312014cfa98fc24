#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "archive/archive_rebuild.h"
#include "archive/archive_reader.h"
#include "archive/pck_index.h"
#include "support/pck_writer.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::PckWriterArchive;
using test::PckWriterEntry;

test::PckWriterKeys keys_of(std::size_t which) {
    return {pck_key_pair(which).key1, pck_key_pair(which).key2};
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A player's archive and the package's next version of it: the tail changes A (spelled
// otherwise) and adds D, B and C keep their place below the tail.
class Rebuild : public ::testing::Test {
  protected:
    void SetUp() override {
        PckWriterArchive base;
        base.keys = keys_of(1);
        base.description = "player's own archive";
        base.entries = {
            {"Textures/A.dds", "old a"}, {"b.txt", std::string(3000, 'b'), true}, {"c.bin", "sea"}};
        source_image = test::build_pck(base);
        write_file(dir / L"src.pck", source_image.flat());
        tail_start = source_image.index_offset;

        PckWriterArchive next;
        next.keys = base.keys;
        PckWriterEntry changed{"textures\\a.DDS", std::string(500, 'n'), true};
        changed.data_offset = tail_start;
        PckWriterEntry kept_b = base.entries[1];
        kept_b.data_offset = source_image.data_offsets[1];
        PckWriterEntry kept_c = base.entries[2];
        kept_c.data_offset = source_image.data_offsets[2];
        PckWriterEntry added{"new\\d.txt", "dee"};
        next.entries = {changed, kept_b, kept_c, added};
        next_image = test::build_pck(next);
        write_file(dir / L"tail.bin", next_image.bytes(tail_start, next_image.size - tail_start));
    }

    ArchivePaths source() const { return {dir / L"src.pck", std::nullopt}; }
    ArchivePaths output() const { return {dir / L"out.pck", std::nullopt}; }

    test::ScopedTempDir dir;
    test::PckImage source_image;
    test::PckImage next_image;
    std::uint64_t tail_start = 0;
};

TEST_F(Rebuild, ReplacesChangedMembersKeepsTheirNamesAndAppendsNewOnes) {
    const RebuildResult result = rebuild_archive(source(), dir / L"tail.bin", tail_start, output());
    EXPECT_EQ(result.members_from_tail, 2u);
    EXPECT_FALSE(result.pkx);
    EXPECT_EQ(result.pck.bytes, fs::file_size(dir / L"out.pck"));

    const ArchiveReader reader = open_archive_pair(dir / L"out.pck", std::nullopt);
    const PckIndex index = parse_archive(reader, ArchivePart::whole);
    EXPECT_EQ(index.keys, pck_key_pair(1));
    ASSERT_EQ(index.entries.size(), 4u);
    const char* names[] = {"Textures/A.dds", "b.txt", "c.bin", "new\\d.txt"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(index.entries[i].raw_name, names[i]);
        EXPECT_NO_THROW(verify_entry_data(reader, index.entries[i]));
    }
    // The replaced member holds the tail's data; the kept ones their own stored bytes.
    const PckEntry& a = index.entries[0];
    EXPECT_EQ(a.uncompressed_size, 500u);
    const PckEntry& c = index.entries[2];
    const Bytes sea = reader.read(c.data_offset, c.stored_size);
    EXPECT_EQ(std::string(sea.begin(), sea.end()), "sea");
    // The source's footer description is carried over.
    const Bytes footer = reader.read(reader.size() - pck_footer_size, pck_footer_size);
    EXPECT_EQ(std::string(footer.begin() + 12, footer.begin() + 32), "player's own archive");
}

TEST_F(Rebuild, AnOutputThatDoesNotReadBackIsDeleted) {
    const auto damage = [&] {
        std::fstream out(dir / L"out.pck", std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(12);
        out.put('\x5a');  // the first byte of the first member's data
    };
    VORN_EXPECT_ERROR(rebuild_archive(source(), dir / L"tail.bin", tail_start, output(), damage),
                      "pck_rebase_verify");
    EXPECT_FALSE(fs::exists(dir / L"out.pck"));
}

TEST_F(Rebuild, RefusalsLeaveNoOutputAndNeverTouchAnExistingFile) {
    // A changed member whose data does not inflate.
    PckWriterArchive broken;
    broken.keys = keys_of(1);
    PckWriterEntry bad{"new\\d.txt", std::string(100, 'd'), true};
    bad.data_offset = tail_start;
    bad.stored = "not a zlib stream";
    broken.entries = {bad};
    const test::PckImage image = test::build_pck(broken);
    write_file(dir / L"bad-tail.bin", image.bytes(tail_start, image.size - tail_start));
    VORN_EXPECT_ERROR(rebuild_archive(source(), dir / L"bad-tail.bin", tail_start, output()),
                      "pck_rebase_payload");
    EXPECT_FALSE(fs::exists(dir / L"out.pck"));

    write_file(dir / L"out.pck", "someone's file");
    VORN_EXPECT_ERROR(rebuild_archive(source(), dir / L"tail.bin", tail_start, output()),
                      "pck_rebase_stage");
    std::ifstream kept(dir / L"out.pck", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "someone's file");

    VORN_EXPECT_ERROR(
        rebuild_archive(source(), dir / L"tail.bin", tail_start, {dir / L"src.pck", std::nullopt}),
        "pck_rebase_alias");
    VORN_EXPECT_ERROR(rebuild_archive(source(), dir / L"tail.bin", 11, {dir / L"o2.pck", {}}),
                      "pck_rebase_limit");
    // A .pkx beside a source given alone would be lost.
    write_file(dir / L"src.pkx", "continuation");
    VORN_EXPECT_ERROR(
        rebuild_archive(source(), dir / L"tail.bin", tail_start, {dir / L"o3.pck", {}}),
        "pck_rebase_layout");
}

}  // namespace
}  // namespace vorn
