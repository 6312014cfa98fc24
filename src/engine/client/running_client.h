// Whether the game of this very client folder is running.
#pragma once

#include <filesystem>
#include <optional>

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

// element/elementclient.exe under the root when it is a plain file reached through no link;
// none otherwise, any error counting as absent.
std::optional<std::filesystem::path> game_executable_path(const ClientPlace& client);
bool game_executable_present(const ClientPlace& client);

}  // namespace vorn
