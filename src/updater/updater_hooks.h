// What the updater's steps report to the program around them, and how a run ends.
#pragma once

#include <functional>
#include <string>

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

}  // namespace vorn
