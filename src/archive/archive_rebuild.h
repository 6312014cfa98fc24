// Rebuilding an archive from the player's own copy plus an appended tail: the members the
// tail changed or added replace or follow the source's, everything else is copied as
// stored, and the result is read back before it is trusted.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>

#include "model/file_digest.h"

namespace vorn {

struct ArchivePaths {
    std::filesystem::path pck;
    std::optional<std::filesystem::path> pkx;
};

struct RebuildResult {
    FileDigest pck;
    std::optional<FileDigest> pkx;  // present when an output .pkx was given (0 bytes if unused)
    std::size_t members_from_tail = 0;
};

// Writes `output` (created new; the .pkx only when given and needed) from `source` and the
// tail file holding the logical archive from offset `tail_start` on. On any failure the
// outputs this call created are deleted. Throws LauncherError with a "pck_rebase_" stage.
// `after_write` runs between the write and the read-back (tests damage the output there).
RebuildResult rebuild_archive(const ArchivePaths& source, const std::filesystem::path& tail,
                              std::uint64_t tail_start, const ArchivePaths& output,
                              const std::function<void()>& after_write = {});

}  // namespace vorn
