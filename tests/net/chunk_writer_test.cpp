#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "core/unique_handle.h"
#include "net/chunk_writer.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

UniqueFile open_file(const std::filesystem::path& path, DWORD access, DWORD disposition) {
    return UniqueFile(
        CreateFileW(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Chunks of every size up to a full buffer, more of them than buffers exist, land in
// order; the count of written bytes follows.
TEST(ChunkWriter, WritesEveryChunkInOrder) {
    test::ScopedTempDir dir;
    const auto path = dir / L"blob.part";
    std::string expected;
    {
        const UniqueFile file = open_file(path, GENERIC_WRITE, CREATE_NEW);
        ASSERT_TRUE(file);
        ChunkWriter writer(file.get(), 4096, "file_write");
        for (std::size_t i = 0; i < 200; ++i) {
            ChunkWriter::Buffer buffer = writer.take_buffer();
            ASSERT_EQ(buffer.size(), 4096u);
            const std::size_t size = (i * 37) % 4097;
            for (std::size_t b = 0; b < size; ++b) {
                buffer[b] = static_cast<std::uint8_t>(i + b);
            }
            expected.append(reinterpret_cast<const char*>(buffer.data()), size);
            writer.push(std::move(buffer), size);
        }
        writer.finish();
        EXPECT_EQ(writer.written(), expected.size());
    }
    EXPECT_EQ(test::read_raw_file(path), expected);
}

// A write that fails is raised to the reader at its next step, as the write's own stage.
TEST(ChunkWriter, AFailedWriteReachesTheReader) {
    test::ScopedTempDir dir;
    const auto path = dir / L"blob.part";
    test::write_raw_file(path, "");
    const UniqueFile file = open_file(path, GENERIC_READ, OPEN_EXISTING);  // no writing
    ASSERT_TRUE(file);
    ChunkWriter writer(file.get(), 1024, "file_write");
    const auto feed = [&] {
        for (;;) {
            writer.push(writer.take_buffer(), 1024);
        }
    };
    VORN_EXPECT_ERROR(feed(), "file_write");
    VORN_EXPECT_ERROR(writer.finish(), "file_write");
    EXPECT_EQ(writer.written(), 0u);
}

// After stop() nothing more reaches the file, and the count says what it holds: an error
// raised mid-stream reports the bytes really written.
TEST(ChunkWriter, StopLeavesTheFileAsCounted) {
    test::ScopedTempDir dir;
    const auto path = dir / L"blob.part";
    std::uint64_t written = 0;
    {
        const UniqueFile file = open_file(path, GENERIC_WRITE, CREATE_NEW);
        ASSERT_TRUE(file);
        ChunkWriter writer(file.get(), 65536, "file_write");
        for (int i = 0; i < 12; ++i) {
            writer.push(writer.take_buffer(), 65536);
        }
        writer.stop();
        written = writer.written();
        Sleep(50);  // a writer still running would add to the file meanwhile
    }
    EXPECT_EQ(std::filesystem::file_size(path), written);
}

}  // namespace
}  // namespace vorn
