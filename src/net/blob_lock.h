// The per-blob lock file, which also remembers the partial download a failed run left.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "core/unique_handle.h"

namespace vorn {

// A partial file the next run may continue: its name and the validator of its bytes.
struct ResumeNote {
    std::wstring part_name;
    std::string etag;
};

class BlobLock {
  public:
    // Opens "<blob>.download.lock" without sharing; a second holder fails fast
    // ("delta_cache_locked"), a folder or link in its place is refused
    // ("delta_cache_conflict"). The file stays when the lock is released.
    explicit BlobLock(const std::filesystem::path& blob);

    // What the last holder left; none when nothing, or nothing readable, is recorded.
    std::optional<ResumeNote> note() const;

    // Replaces the note; the file is small enough to be rewritten whole. Throws
    // LauncherError "delta_cache_write".
    void remember(const ResumeNote& note);

    // Empties the note; never throws (a stale note only names a partial that is gone).
    void forget() noexcept;

  private:
    UniqueFile file_;
};

}  // namespace vorn
