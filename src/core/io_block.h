// The size of one read or write of file data.
#pragma once

#include <cstddef>

namespace vorn {

// 1 MiB: every loop that reads, writes, copies or hashes a file moves it in blocks of at
// most this size, so one buffer of it serves any of them.
inline constexpr std::size_t io_block_size = 1048576;

}  // namespace vorn
