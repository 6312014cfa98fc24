// Whether the game of this very client folder is running.
#pragma once

#include <filesystem>

namespace vorn {

struct ClientPlace;

// Returns when no process runs the executable at `game_path` (the same path text without
// regard to case and a "\\?\" prefix, or else the same file however it is named: a short
// name, a substituted or mapped drive); a copy of the game started from another folder
// does not count. Throws LauncherError "game_running" when it runs, "game_state" when it cannot
// tell. A point-in-time test: callers repeat it before each step that changes client files.
void ensure_game_not_running(const std::filesystem::path& game_path);

// The same test for this engine's client; a local-test run has no game and returns at
// once.
void ensure_client_not_running(const ClientPlace& client);

// element/elementclient.exe is a plain file under the root; any error counts as absent.
bool game_executable_present(const ClientPlace& client);

}  // namespace vorn
