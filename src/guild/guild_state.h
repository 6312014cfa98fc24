// The record of the guild icon patch that vouches for the patched surfaces archive.
#pragma once

#include <string>
#include <string_view>

namespace vorn {

struct UpdateEngine;

inline constexpr std::uint64_t largest_guild_state = 8192;

// True only for element/surfaces.pck (any ASCII case, either separator) when this client's
// guild state records a patch from `expected_sha` (the manifest's) to `actual_sha` (the
// live file's). Never throws: an unreadable state accepts nothing.
bool accepts_guild_patch(const UpdateEngine& engine, std::string_view path,
                         const std::string& expected_sha, const std::string& actual_sha);

}  // namespace vorn
