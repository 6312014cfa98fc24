// The local test mode: a fixture client, loopback servers and one headless action.
#pragma once

#include <filesystem>

#include "app/launch_options.h"
#include "model/launcher_config.h"
#include "model/local_test_config.h"

namespace vorn {

// Runs the options' action once against the configuration and writes the JSON result.
// Returns 0 when the action succeeded, 1 when it failed with a LauncherError, 2 without a
// local-test configuration or an action. Other exceptions pass through.
int run_local_test(const LauncherConfig& config, const LaunchOptions& options);

}  // namespace vorn
