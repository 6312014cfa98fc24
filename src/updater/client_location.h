// Where the updater stands and what it may touch: its own place in the client's element
// folder, the launcher beside that folder, the staged new build, the backup and the
// per-client state folder. Nothing outside these paths is ever written.
#pragma once

#include <filesystem>
#include <optional>

#include "updater/updater_options.h"

namespace vorn {

struct UpdaterClient {
    std::filesystem::path root;       // the folder that holds element
    std::filesystem::path launcher;   // root\<launcher>.exe
    std::filesystem::path staged;     // root\VornellLauncher.update.<sha256>.exe
    std::filesystem::path backup;     // root\<launcher>.backup.exe
    std::filesystem::path state_dir;  // the launcher's per-client state folder
    std::optional<std::filesystem::path> local_test_config;
};

// The client of an updater running from `own_path`. Refuses (LauncherError
// "self_update_staging") an updater that is not root\element\VornellUpdater.exe, a
// launcher that is not directly in root, a staged build of another name, and a local-test
// configuration of another client.
UpdaterClient locate_client(const UpdaterOptions& options, const std::filesystem::path& own_path);

}  // namespace vorn
