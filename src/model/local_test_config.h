// The local-test configuration: a fixture client, loopback servers. The launcher reads it
// for its headless mode; the updater reads it to find the client it serves.
#pragma once

#include <cstdint>
#include <filesystem>

#include "core/bytes.h"
#include "model/launcher_config.h"

namespace vorn {

inline constexpr const wchar_t* fixture_marker_name = L".vornell-local-fixture";
inline constexpr std::uint64_t largest_local_test_config = 65536;

// Reads a local-test configuration. Refuses ("qa_config") a bad schema, a folder that is
// the root of its drive and a client folder without the fixture marker; a missing or
// mistyped key is a std::exception (the start-up fails).
LauncherConfig load_local_test_config(const std::filesystem::path& path);
// The same of the configuration's bytes, read from `path`.
LauncherConfig parse_local_test_config(ByteView bytes, const std::filesystem::path& path);

}  // namespace vorn
