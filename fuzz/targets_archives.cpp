// The readers of the game's archives and of the guild icon set: the archive index (as the
// rebase and as the guild icons read it), the icon list, the version stamp and the PNG atlas.
#include <zlib.h>

#include "archive/archive_reader.h"
#include "archive/pck_index.h"
#include "core/launcher_error.h"
#include "guild/guild_archive.h"
#include "guild/icon_list.h"
#include "guild/png_to_dds.h"
#include "support/pck_keys.h"
#include "support/pck_writer.h"
#include "support/png_writer.h"
#include "targets.h"

namespace vorn::fuzz {
namespace {

using test::writer_keys;

namespace fs = std::filesystem;

ByteView view(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::vector<std::string> archive_seeds() {
    std::vector<std::string> seeds;
    for (std::size_t which : {0, 1}) {
        test::PckWriterArchive archive;
        archive.keys = writer_keys(which);
        archive.entries = {
            {.name = "surfaces\\ui\\frame.dds",
             .content = std::string(300, 'f'),
             .compressed = true},
            {.name = "surfaces\\iconset\\iconlist_guild.dds", .content = "atlas"},
            {.name = "Surfaces/IconSet/IconList_Guild.txt", .content = "list", .zlib_record = true},
            {.name = "surfaces\\ui\\gap.dds",
             .content = "gap",
             .data_offset = 700,
             .record_size = 276},
        };
        seeds.push_back(test::build_pck(archive).flat());
        archive.entries.resize(1);
        archive.entries[0].name = "\xD6\xD0\xCE\xC4\\\xB1\xED.dds";  // code page 936
        seeds.push_back(test::build_pck(archive).flat());
    }
    return seeds;
}

// What every accepted index promises: each entry's data in the data area, records inside
// the index, and the icon rebuild of an accepted archive reading back as it was planned.
void check_index(const PckIndex& index, std::uint64_t size) {
    const std::uint64_t footer = size - pck_footer_size;
    if (index.index_offset < pck_header_size || index.index_offset >= footer) {
        broken("index offset outside the archive");
    }
    for (const PckEntry& entry : index.entries) {
        if (entry.data_offset < pck_header_size ||
            entry.data_offset + entry.stored_size > index.index_offset ||
            entry.record_offset < index.index_offset ||
            entry.record_offset + entry.record_bytes > footer) {
            broken("an accepted entry reaches outside its area");
        }
    }
}

std::string read_archive(ScratchClient& scratch, const std::string& input, Prng& rng) {
    const fs::path pck = scratch.root() / L"element" / L"surfaces.pck";
    ScratchClient::put(pck, input);
    std::string refused;
    try {
        check_index(parse_archive(open_archive_pair(pck, std::nullopt), ArchivePart::whole),
                    input.size());
    } catch (const LauncherError& error) {
        refused = error.stage;
    }
    const GuildArchive archive = read_guild_archive(pck);
    check_index(archive.index, input.size());
    if (rng.one_in(8)) {
        // The rebuild proves its own output; a refusal there is a fault of the builder.
        const fs::path staged = scratch.root() / L"staged.pck";
        DeleteFileW(staged.c_str());
        build_guild_archive(pck, staged, view("new atlas"), view("1\n2\n3\n4\nclan.dds\n"));
        DeleteFileW(staged.c_str());
    }
    return refused.empty() ? std::string() : "rebase:" + refused;
}

std::vector<std::string> list_seeds() {
    const std::string utf16 = "\xFF\xFE" + std::string(
                                               "1\0\n\0"
                                               "2\0\n\0"
                                               "3\0\n\0"
                                               "4\0\n\0"
                                               "a\0.\0d\0d\0s\0\n\0",
                                               30);
    return {"1\n2\n3\n4\nclan_1.dds\nclan_2.dds\n",
            "\xEF\xBB\xBF"
            "10\r\n20\r\n\r\n30\r\n40\r\nA.DDS\r\n",
            utf16, "1\n2\n3\n4\n"};
}

std::vector<std::string> png_seeds() {
    std::vector<test::Rgba> pixels;
    for (int i = 0; i < 12; ++i) {
        pixels.push_back({static_cast<std::uint8_t>(i * 20), 40, static_cast<std::uint8_t>(255 - i),
                          static_cast<std::uint8_t>(128 + i)});
    }
    return {test::png_rgba(4, 3, pixels), test::png_filled(1, 1, {1, 2, 3, 4}),
            test::png_filled(33, 7, {9, 9, 9, 0})};
}

std::string read_png(const std::string& input) {
    const Bytes dds = png_to_dds(view(input));
    const std::uint32_t height = get_u32_le(dds, 12);
    const std::uint32_t width = get_u32_le(dds, 16);
    if (width == 0 || height == 0 || width > largest_icon_side || height > largest_icon_side ||
        dds.size() != dds_header_size + static_cast<std::size_t>(width) * height * 4) {
        broken("an accepted atlas of the wrong size");
    }
    return {};
}

std::string read_stamp(const std::string& input) {
    const std::optional<std::string> stamp = version_stamp(view(input));
    if (!stamp) {
        return "invalid";
    }
    if (stamp->empty() || stamp->size() > 63 || input.compare(0, stamp->size(), *stamp) != 0 ||
        stamp->find_first_of(" \t\r\n") != std::string::npos) {
        broken("an accepted stamp that is not a prefix of visible characters");
    }
    return {};
}

void put_u32(std::string& bytes, std::size_t at, std::uint32_t value, bool big_endian) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>(value >> (big_endian ? 24 - 8 * i : 8 * i));
    }
}

// Half of the inputs get the header's size field right again, so that they reach the
// footer, the keys and the records instead of stopping at the first check.
void reseal_archive(std::string& input, Prng& rng) {
    if (input.size() >= 12 && rng.one_in(2)) {
        put_u32(input, 4, static_cast<std::uint32_t>(input.size()), false);
    }
}

// Half of the inputs get every chunk's checksum recomputed, so that they reach the decoder.
void reseal_png(std::string& input, Prng& rng) {
    if (!rng.one_in(2)) {
        return;
    }
    for (std::size_t at = 8; input.size() >= at + 12;) {
        const std::uint32_t length = std::uint32_t{static_cast<std::uint8_t>(input[at])} << 24 |
                                     static_cast<std::uint8_t>(input[at + 1]) << 16 |
                                     static_cast<std::uint8_t>(input[at + 2]) << 8 |
                                     static_cast<std::uint8_t>(input[at + 3]);
        if (length > input.size() - at - 12) {
            return;
        }
        put_u32(input, at + 8 + length,
                crc32(0, reinterpret_cast<const Bytef*>(input.data() + at + 4), length + 4), true);
        at += 12 + length;
    }
}

}  // namespace

void add_archive_targets(std::vector<Target>& targets, ScratchClient& scratch) {
    targets.push_back({.name = "pck_archive",
                       .shape = InputShape::binary,
                       .seeds = archive_seeds(),
                       .finish = reseal_archive,
                       .read = [&scratch](const std::string& input, Prng& rng) {
                           return read_archive(scratch, input, rng);
                       }});
    targets.push_back({.name = "icon_list",
                       .shape = InputShape::text,
                       .seeds = list_seeds(),
                       .read = [](const std::string& input, Prng&) {
                           validate_icon_list(view(input));
                           return std::string();
                       }});
    targets.push_back({.name = "icon_version",
                       .shape = InputShape::text,
                       .seeds = {"2026-12-09.1\n", "v1", "  v2 \r\n"},
                       .policy = {.never_throws = true},
                       .read = [](const std::string& input, Prng&) { return read_stamp(input); }});
    targets.push_back({.name = "icon_png",
                       .shape = InputShape::binary,
                       .seeds = png_seeds(),
                       .finish = reseal_png,
                       .read = [](const std::string& input, Prng&) { return read_png(input); }});
}

}  // namespace vorn::fuzz
