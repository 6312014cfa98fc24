// The two small documents of the guild icon set: the version stamp and the icon list.
#pragma once

#include <optional>
#include <string>

#include "core/bytes.h"

namespace vorn {

// The stamp without its trailing bytes of 0x20 or below; none unless 1 to 63 bytes of
// 0x21 ... 0x7E remain.
std::optional<std::string> version_stamp(ByteView body);

// Checks the list the game reads (four number lines, then icon file names); the list is
// stored unchanged. Throws LauncherError ("guild_text").
void validate_icon_list(ByteView body);

}  // namespace vorn
