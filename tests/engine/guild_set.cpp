#include "guild_set.h"

#include "archive/pck_format.h"
#include "support/pck_keys.h"
#include "support/pck_writer.h"
#include "support/png_writer.h"

namespace vorn::test {
namespace {}  // namespace

std::string surfaces_archive() {
    PckWriterArchive archive;
    archive.keys = writer_keys();
    archive.description = "surfaces";
    archive.entries = {
        {.name = "surfaces\\ui\\frame.dds", .content = std::string(3000, 'f'), .compressed = true},
        {.name = "surfaces\\iconset\\iconlist_guild.dds", .content = "old atlas"},
        {.name = "surfaces\\ui\\button.dds", .content = "button", .zlib_record = true},
        {.name = "surfaces\\iconset\\iconlist_guild.txt", .content = "old list"},
        {.name = "surfaces\\ui\\bar.dds", .content = "bar", .record_size = 276},
    };
    return build_pck(archive).flat();
}

std::string guild_png(int seed) {
    std::vector<Rgba> pixels;
    for (int i = 0; i < 8; ++i) {
        pixels.push_back({static_cast<std::uint8_t>(i * 30 + seed), static_cast<std::uint8_t>(seed),
                          static_cast<std::uint8_t>(255 - i), 255});
    }
    return png_rgba(4, 2, pixels);
}

std::map<std::string, std::string> archive_entries(const std::string& archive) {
    std::map<std::string, std::string> entries;
    for (auto& [name, data] : read_pck_entries(archive, writer_keys())) {
        entries[name] = data;
    }
    return entries;
}

}  // namespace vorn::test
