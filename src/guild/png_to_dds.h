// The guild icon atlas: the published PNG decoded through GDI+ into the uncompressed DDS
// the game reads.
#pragma once

#include "core/bytes.h"

namespace vorn {

inline constexpr std::uint32_t largest_icon_side = 4096;
inline constexpr std::size_t dds_header_size = 128;

// A 128-byte DDS header and the pixels top row first, each blue, green, red, alpha.
// Throws LauncherError ("guild_png", "guild_image", "guild_memory", "guild_dimensions").
Bytes png_to_dds(ByteView png);

}  // namespace vorn
