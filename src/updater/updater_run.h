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

struct UpdaterHooks {
    StatusSink status;
    // Called with true while a new build stands at the launcher's path unproven, and with
    // false after: the window keeps the session from ending meanwhile. May be empty.
    std::function<void(bool)> hold_session;
};

enum class UpdaterExit : int {
    replaced = 0,     // the new build runs
    rolled_back = 1,  // the old build is back and runs; a new build that ran and failed is
                      // marked failed, one that never ran is offered again at the next start
    refused = 2,      // not started by a launcher of this client: nothing was touched
    left_as_is = 3,   // the launcher did not end: nothing was replaced
};

UpdaterExit run_updater(const std::vector<std::wstring>& args,
                        const std::filesystem::path& own_path, const UpdaterHooks& hooks);

}  // namespace vorn
