// surfaces.pck as the guild icon update sees it: read with the archive checks under the
// guild's own messages, and rebuilt with the two icon entries replaced.
#pragma once

#include <filesystem>
#include <string>

#include "archive/archive_reader.h"
#include "archive/pck_format.h"
#include "core/bytes.h"

namespace vorn {

inline constexpr std::uint64_t largest_guild_archive = 0xFFFF0000;

struct GuildArchive {
    ArchiveReader reader;
    PckIndex index;
};

// Reads the archive's index with every check of the game's format. Throws LauncherError
// with a "guild_pck_" stage.
GuildArchive read_guild_archive(const std::filesystem::path& pck);

inline constexpr const char* guild_dds_entry = "surfaces/iconset/iconlist_guild.dds";
inline constexpr const char* guild_text_entry = "surfaces/iconset/iconlist_guild.txt";

// An entry name as the guild compares it: ASCII letters lower-cased, "\" turned into "/".
std::string folded_entry_name(std::string raw_name);

// An entry name that is one of the two icon entries (ASCII case folded, "\" as "/").
bool is_guild_icon_entry(const std::string& raw_name);

// Writes `staged` (created new) from `source` with the icon atlas and list replaced, every
// other record copied byte for byte, and reads it back. Returns the SHA-256 of what was
// written. On failure `staged` is deleted. Throws LauncherError with a "guild_" stage.
std::string build_guild_archive(const std::filesystem::path& source,
                                const std::filesystem::path& staged, ByteView dds, ByteView text);

}  // namespace vorn
