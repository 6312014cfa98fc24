// The local test mode: a fixture client, loopback servers and one headless action.
#pragma once

#include <filesystem>

#include "app/launch_options.h"
#include "model/launcher_config.h"

namespace vorn {

inline constexpr const wchar_t* fixture_marker_name = L".vornell-local-fixture";
inline constexpr std::uint64_t largest_local_test_config = 65536;

// Reads a local-test configuration. Refuses ("qa_config") a bad schema, a folder that is
// the root of its drive and a client folder without the fixture marker; a missing or
// mistyped key is a std::exception (the start-up fails).
LauncherConfig load_local_test_config(const std::filesystem::path& path);

// Runs the options' action once against the configuration and writes the JSON result.
// Returns 0 when the action succeeded, 1 when it failed with a LauncherError, 2 without a
// local-test configuration or an action. Other exceptions pass through.
int run_local_test(const LauncherConfig& config, const LaunchOptions& options);

}  // namespace vorn
