// The updater's whole run: confirm the hand-over, wait for the launcher to end, replace it
// with the verified new build, and keep that build only when it proves itself healthy;
// otherwise put the old launcher back, start it and mark the new build as failed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "updater/updater_hooks.h"

namespace vorn {

UpdaterExit run_updater(const std::vector<std::wstring>& args,
                        const std::filesystem::path& own_path, const UpdaterHooks& hooks);

}  // namespace vorn
