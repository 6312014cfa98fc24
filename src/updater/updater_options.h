// The updater's command line, as the launcher builds it for the hand-over.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

struct UpdaterOptions {
    bool restore = false;  // put the previous build back in place of an unproven one
    DWORD launcher_process_id = 0;
    std::filesystem::path launcher;  // the running launcher executable
    std::filesystem::path staged;    // the verified new build beside it (not with restore)
    std::string sha256;              // of the new build (with restore: the unproven one)
    std::string ready_id;            // 32 lower-case hex digits of the ready event's name
    std::string build;               // of the new build (not with restore)
    std::optional<std::filesystem::path> local_test_config;
};

// The arguments after the program path: --apply <pid> <launcher> <staged> <sha256> <id>
// <build>, or --restore <pid> <launcher> <sha256> <id>, each optionally followed by
// --local-test-config <path>; nothing else and nothing malformed. Throws LauncherError
// ("self_update_spawn") otherwise.
UpdaterOptions parse_updater_options(const std::vector<std::wstring>& args);

}  // namespace vorn
