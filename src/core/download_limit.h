// The bound every download shares.
#pragma once

#include <cstdint>

namespace vorn {

// The most one request may bring: a file blob, a whole manifest file, a delta payload.
inline constexpr std::uint64_t largest_single_download = 536870912;  // 512 MiB

}  // namespace vorn
