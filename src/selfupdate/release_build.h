// What the launcher and its updater both know of a release: the build text and the
// largest files a release may carry. Kept apart from the descriptor so that the updater
// links none of the network code.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

inline constexpr std::uint64_t largest_release_descriptor = 4096;
inline constexpr std::uint64_t smallest_release_file = 1024;
inline constexpr std::uint64_t largest_launcher_file = 33554432;
inline constexpr std::uint64_t largest_updater_file = 16777216;

// Four dot-separated numbers of 0 ... 65535, no leading zero in a number of two or more
// digits.
bool is_build_text(const std::string& text);

// True when both are builds and the candidate is greater, number by number.
bool is_newer_build(const std::string& candidate, const std::string& current);

}  // namespace vorn
