// The output side of a rebuild: a logical archive written to a new .pck, spilling into a
// new .pkx once the .pck holds the split size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/bytes.h"
#include "core/unique_handle.h"

namespace vorn {

class ArchiveWriter {
  public:
    // Creates the outputs new and exclusively ("pck_rebase_stage"); the .pkx only when a
    // path is given. The files are deleted by the destructor unless keep() was called.
    ArchiveWriter(const std::filesystem::path& pck,
                  const std::optional<std::filesystem::path>& pkx);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    std::uint64_t written() const { return written_; }

    // Appends logical bytes ("pck_rebase_limit" past the largest archive,
    // "pck_rebase_layout" past the split size without a .pkx, "pck_rebase_write").
    void write(const std::uint8_t* data, std::uint64_t size);
    void write(ByteView bytes) { write(bytes.data(), bytes.size()); }
    // Overwrites 4 bytes at a logical offset inside the .pck ("pck_rebase_seek").
    void patch_u32(std::uint64_t offset, std::uint32_t value);
    // Flushes and closes both files ("pck_rebase_flush"). They are still deleted with the
    // writer until keep() says they were proven.
    void finish();
    void keep() { kept_ = true; }

  private:
    void write_part(HANDLE file, const std::uint8_t* data, std::uint64_t size);

    std::filesystem::path pck_path_;
    std::optional<std::filesystem::path> pkx_path_;
    UniqueFile pck_;
    UniqueFile pkx_;
    std::uint64_t pck_limit_;
    std::uint64_t written_ = 0;
    bool kept_ = false;
};

}  // namespace vorn
