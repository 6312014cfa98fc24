// Hashing a list of client files on several threads while the caller takes the digests in
// list order (see OrderedWork).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/ordered_work.h"

namespace vorn {

class OrderedHashing {
  public:
    // jobs[i] empty: nothing to hash for i. With `threads` 0 every file is hashed by take().
    OrderedHashing(const std::vector<std::optional<std::filesystem::path>>& jobs,
                   std::size_t threads);

    // The digest of file i (hash_client_file), or its error rethrown; "" with no progress
    // for an empty job. Takes the files in increasing order.
    std::string take(std::size_t index, const HashProgress& progress) {
        return work_.take(index, progress);
    }

  private:
    OrderedWork<std::string> work_;
};

}  // namespace vorn
