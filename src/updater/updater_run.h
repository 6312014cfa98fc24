// The updater's whole run: confirm the hand-over, wait for the launcher to end, replace it
// with the verified new build, and keep that build only when it proves itself healthy;
// otherwise put the old launcher back, start it and mark the new build as failed.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vorn {

// What the updater is doing, in Russian, for its window.
using StatusSink = std::function<void(const std::wstring&)>;

enum class UpdaterExit : int {
    replaced = 0,     // the new build runs
    rolled_back = 1,  // the old build is back and runs; the new digest is marked failed
    refused = 2,      // not started by a launcher of this client: nothing was touched
    left_as_is = 3,   // the launcher did not end: nothing was replaced
};

UpdaterExit run_updater(const std::vector<std::wstring>& args,
                        const std::filesystem::path& own_path, const StatusSink& status);

}  // namespace vorn
