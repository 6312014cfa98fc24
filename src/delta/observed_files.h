// Observing a list of client files in order while workers read them ahead on every core:
// the caller sees the same states, errors and progress events, in the same order, as when
// it observes them one by one.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/ordered_work.h"
#include "delta/delta_files.h"

namespace vorn {

class ObservedFiles {
  public:
    // locate(i): the path of file i; its error is raised at file i's turn. With `hold`, each
    // file is observed by observe_and_hold and take_held gives its handle.
    ObservedFiles(std::size_t count,
                  const std::function<std::filesystem::path(std::size_t)>& locate,
                  bool hold = false);

    // observe_file of file i, reporting "hash_start" and "hash_bytes" under `display`. Takes
    // the files in increasing order.
    FileState take(std::size_t index, const DeltaProgress& progress, const std::string& display);
    // The same, with the handle that holds the file when the files are held.
    HeldFile take_held(std::size_t index, const DeltaProgress& progress,
                       const std::string& display);

  private:
    OrderedWork<HeldFile> work_;
};

}  // namespace vorn
