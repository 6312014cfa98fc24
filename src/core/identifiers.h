// Random identifiers and UTC time stamps.
#pragma once

#include <cstddef>
#include <string>

namespace vorn {

inline constexpr std::size_t max_random_bytes = 128;

// `count` random bytes (0 ... 128) from the system RNG as lower-case hex text.
std::string random_hex(std::size_t count);

// "YYYY-MM-DDTHH:MM:SSZ" from GetSystemTime.
std::string utc_timestamp();

}  // namespace vorn
