// Reading a logical archive: one .pck, a .pck of exactly 0x7FFFFF00 bytes with its .pkx,
// or a tail view that holds only the part from offset T to the end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/bytes.h"
#include "core/unique_handle.h"

namespace vorn {

class ArchiveReader {
  public:
    // The logical size of the archive (for a tail view: T plus the tail file's size).
    std::uint64_t size() const { return size_; }
    // Where the available part starts: 0, or T for a tail view.
    std::uint64_t start() const { return start_; }
    bool is_tail_view() const { return start_ != 0; }

    // Reads `length` bytes at logical offset `offset`, in blocks of at most 1 MiB.
    // Throws LauncherError: "pck_rebase_span" beyond the size, "pck_rebase_tail" below the
    // available part, "pck_rebase_layout" for a range in a missing .pkx,
    // "pck_rebase_seek"/"pck_rebase_read" for a failed or short read.
    void read(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) const;
    Bytes read(std::uint64_t offset, std::uint64_t length) const;

  private:
    friend ArchiveReader open_archive_pair(const std::filesystem::path& pck,
                                           const std::optional<std::filesystem::path>& pkx);
    friend ArchiveReader open_tail_view(const std::filesystem::path& tail, std::uint64_t start);
    friend ArchiveReader open_archive_file(const std::filesystem::path& pck, std::uint64_t largest);

    void read_file(HANDLE file, std::uint64_t at, std::uint8_t* buffer, std::uint64_t length) const;

    UniqueFile pck_;
    UniqueFile pkx_;  // empty when absent or of zero bytes
    std::uint64_t pck_size_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t start_ = 0;
};

// Opens a .pck and an optional .pkx for shared sequential reading without following
// links, with the layout and size rules of a split archive. Throws LauncherError
// ("pck_rebase_read", "pck_rebase_reparse", "pck_rebase_path", "pck_rebase_alias",
// "pck_rebase_layout", "pck_rebase_limit").
ArchiveReader open_archive_pair(const std::filesystem::path& pck,
                                const std::optional<std::filesystem::path>& pkx);

// One archive file of at most `largest` bytes read as it is, without the split layout
// (a .pck that never has a .pkx). Throws as open_archive_pair.
ArchiveReader open_archive_file(const std::filesystem::path& pck, std::uint64_t largest);

// A logical archive of which only offsets from `start` on are held, in `tail` at
// offset - start. Throws as open_archive_pair.
ArchiveReader open_tail_view(const std::filesystem::path& tail, std::uint64_t start);

}  // namespace vorn
