// Starting the game of a verified client.
#pragma once

namespace vorn {

struct UpdateEngine;

// Under the engine lock: refuses an unverified client ("play_blocked") and the local test
// mode ("test_no_game"), else starts element\elementclient.exe from its own folder and
// returns without waiting for it. Throws LauncherError; changes nothing on disk.
void launch_game(UpdateEngine& engine);

}  // namespace vorn
