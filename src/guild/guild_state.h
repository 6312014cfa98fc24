// The record of the guild icon patch that vouches for the patched surfaces archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

inline constexpr const wchar_t* guild_state_file_name = L"guild-state-v2.json";
inline constexpr std::uint64_t largest_guild_state = 8192;

// Where this client's guild state lives and whose client it must name.
struct GuildStateFile {
    std::filesystem::path path;  // the state file in the client's service folder
    std::string root_key;        // client_key of the client folder
};

// What the last icon install recorded.
struct GuildState {
    std::string version;      // the installed version stamp
    std::string base_sha256;  // surfaces.pck before the launcher first patched it ("" if not kept)
    std::string patched_sha256;  // surfaces.pck as the launcher installed it
    std::string png_sha256;
    std::string text_sha256;
};

// This client's state, or none: missing, unreadable, malformed or naming another client.
// Never throws.
std::optional<GuildState> read_guild_state(const GuildStateFile& state_file);

// Writes the state atomically ("schema" 2, "root" the client key). Throws LauncherError.
void write_guild_state(const GuildStateFile& state_file, const GuildState& state);

// True only for element/surfaces.pck (any ASCII case, either separator) when this client's
// guild state records a patch from `expected_sha` (the manifest's) to `actual_sha` (the
// live file's). Never throws: an unreadable state accepts nothing.
bool accepts_guild_patch(const GuildStateFile& state_file, std::string_view path,
                         const std::string& expected_sha, const std::string& actual_sha);

}  // namespace vorn
