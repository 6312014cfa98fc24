#include <algorithm>

#include "archive/archive_writer.h"
#include "archive/pck_index.h"
#include "core/io_block.h"
#include "core/sha256.h"
#include "guild/guild_archive.h"

namespace vorn {
namespace {

// New entries get the game's own spelling; an entry the source had keeps its raw name.
constexpr const char* new_dds_name = "surfaces\\iconset\\iconlist_guild.dds";
constexpr const char* new_text_name = "surfaces\\iconset\\iconlist_guild.txt";

[[noreturn]] void fail_limit() {
    throw LauncherError("guild_pck_limit", L"Архив иконок превышает допустимый размер.");
}

std::string icon_name(const PckIndex& index, const char* folded, const char* fresh) {
    for (const PckEntry& entry : index.entries) {
        if (folded_entry_name(entry.raw_name) == folded) {
            return entry.raw_name;
        }
    }
    return fresh;
}

// Everything after the copied data: the kept records as they were, the two new records,
// the footer. Known before the first byte is written, so the header's size is final.
struct Tail {
    std::uint64_t data_end = 0;  // the copied data stop here; the new icons follow
    Bytes index;
    Bytes footer;
    std::uint64_t total = 0;
    std::vector<const PckEntry*> kept;
};

// Where the new icon data may start. The launcher writes the icons last, right before the
// index: when the old icon data lie there, one after the other up to the index, and no
// other entry's data reach into them, the new icons take their place and the archive does
// not grow with every icon version. Otherwise they start where the index stood, after all
// the data.
std::uint64_t icon_data_start(const PckIndex& index) {
    std::vector<const PckEntry*> icons;
    for (const PckEntry& entry : index.entries) {
        if (is_guild_icon_entry(entry.raw_name)) {
            icons.push_back(&entry);
        }
    }
    std::sort(icons.begin(), icons.end(),
              [](const PckEntry* a, const PckEntry* b) { return a->data_offset < b->data_offset; });
    std::uint64_t end = index.index_offset;
    for (auto icon = icons.rbegin(); icon != icons.rend(); ++icon) {
        if ((*icon)->data_offset + (*icon)->stored_size != end ||
            (*icon)->data_offset < pck_header_size) {
            return index.index_offset;
        }
        end = (*icon)->data_offset;
    }
    for (const PckEntry& entry : index.entries) {
        if (!is_guild_icon_entry(entry.raw_name) && entry.data_offset + entry.stored_size > end) {
            return index.index_offset;
        }
    }
    return end;
}

Tail plan_tail(const GuildArchive& source, ByteView dds, ByteView text) {
    const PckIndex& index = source.index;
    const std::uint64_t dds_at = icon_data_start(index);
    const std::uint64_t new_index_at = dds_at + dds.size() + text.size();
    if (new_index_at > largest_guild_archive) {
        fail_limit();
    }
    const std::uint64_t footer_at = source.reader.size() - pck_footer_size;
    const Bytes records = source.reader.read(index.index_offset, footer_at - index.index_offset);
    Tail tail;
    tail.data_end = dds_at;
    for (const PckEntry& entry : index.entries) {
        if (!is_guild_icon_entry(entry.raw_name)) {
            const auto from = records.begin() +
                              static_cast<std::ptrdiff_t>(entry.record_offset - index.index_offset);
            tail.index.insert(tail.index.end(), from,
                              from + static_cast<std::ptrdiff_t>(entry.record_bytes));
            tail.kept.push_back(&entry);
        }
    }
    for (const auto& [name, at, size] :
         {std::tuple{icon_name(index, guild_dds_entry, new_dds_name), dds_at, dds.size()},
          std::tuple{icon_name(index, guild_text_entry, new_text_name), dds_at + dds.size(),
                     text.size()}}) {
        const Bytes record = encode_index_record(name, at, size, size, index.keys);
        tail.index.insert(tail.index.end(), record.begin(), record.end());
    }
    tail.footer = source.reader.read(footer_at, pck_footer_size);
    put_u32_le(tail.footer, 8, new_index_at ^ index.keys.key1);
    put_u32_le(tail.footer, 272, tail.kept.size() + 2);
    tail.total = new_index_at + tail.index.size() + pck_footer_size;
    if (tail.total > largest_guild_archive) {
        fail_limit();
    }
    return tail;
}

// The archive writer's failures under the guild's messages.
LauncherError stage_error(const LauncherError& error) {
    if (error.stage == "pck_rebase_stage") {
        return LauncherError("guild_stage", L"Не удалось подготовить архив иконок.", error.win32);
    }
    if (error.stage == "pck_rebase_limit" || error.stage == "pck_rebase_layout") {
        return LauncherError("guild_pck_limit", L"Архив иконок превышает допустимый размер.");
    }
    return LauncherError("guild_stage", L"Не удалось записать архив иконок.", error.win32);
}

class HashedOutput {
  public:
    explicit HashedOutput(ArchiveWriter& writer) : writer_(writer) {}
    void write(const std::uint8_t* data, std::uint64_t size) {
        writer_.write(data, size);
        hash_.update(data, static_cast<std::size_t>(size));
    }
    void write(ByteView bytes) { write(bytes.data(), bytes.size()); }
    std::string finish() { return hash_.finish(); }

  private:
    ArchiveWriter& writer_;
    Sha256 hash_;
};

void copy_data(const GuildArchive& source, std::uint64_t end, HashedOutput& output) {
    Bytes block(io_block_size);
    for (std::uint64_t at = pck_header_size; at < end;) {
        const std::uint64_t chunk = std::min<std::uint64_t>(end - at, io_block_size);
        try {
            source.reader.read(at, block.data(), chunk);
        } catch (const LauncherError& error) {
            throw LauncherError("guild_pck_read", L"Не удалось прочитать архив иконок.",
                                error.win32);
        }
        output.write(block.data(), chunk);
        at += chunk;
    }
}

std::string write_staged(const GuildArchive& source, const Tail& tail, ByteView dds, ByteView text,
                         ArchiveWriter& writer) {
    HashedOutput output(writer);
    Bytes header = source.reader.read(0, pck_header_size);
    put_u32_le(header, 4, tail.total);
    output.write(header);
    copy_data(source, tail.data_end, output);
    output.write(dds);
    output.write(text);
    output.write(tail.index);
    output.write(tail.footer);
    writer.finish();
    return output.finish();
}

[[noreturn]] void fail_verify(const wchar_t* message) {
    throw LauncherError("guild_verify", message);
}

// Compared block by block: the atlas can be 64 MiB and is not held twice.
bool entry_holds(const GuildArchive& archive, const PckEntry& entry, ByteView bytes) {
    if (entry.stored_size != bytes.size() || entry.uncompressed_size != bytes.size()) {
        return false;
    }
    Bytes block(static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), io_block_size)));
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t chunk = std::min(bytes.size() - at, block.size());
        archive.reader.read(entry.data_offset + at, block.data(), chunk);
        if (!std::equal(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(chunk),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at))) {
            return false;
        }
        at += chunk;
    }
    return true;
}

// The staged archive reads back with the same foreign records and exactly the new icons.
void verify_staged(const std::filesystem::path& staged, const Tail& tail, ByteView dds,
                   ByteView text) {
    GuildArchive written = [&] {
        try {
            return read_guild_archive(staged);
        } catch (const LauncherError&) {
            fail_verify(L"Не удалось проверить архив иконок.");
        }
    }();
    const auto& entries = written.index.entries;
    if (entries.size() != tail.kept.size() + 2) {
        fail_verify(L"Изменились посторонние записи архива иконок.");
    }
    for (std::size_t i = 0; i < tail.kept.size(); ++i) {
        const PckEntry& was = *tail.kept[i];
        if (entries[i].raw_name != was.raw_name || entries[i].data_offset != was.data_offset ||
            entries[i].stored_size != was.stored_size ||
            entries[i].uncompressed_size != was.uncompressed_size) {
            fail_verify(L"Изменились посторонние записи архива иконок.");
        }
    }
    const PckEntry& new_dds = entries[entries.size() - 2];
    const PckEntry& new_text = entries.back();
    if (!entry_holds(written, new_dds, dds) || !entry_holds(written, new_text, text)) {
        fail_verify(L"Иконки не прошли проверку после подготовки.");
    }
}

}  // namespace

std::string build_guild_archive(const std::filesystem::path& source,
                                const std::filesystem::path& staged, ByteView dds, ByteView text) {
    const GuildArchive archive = read_guild_archive(source);
    const Tail tail = plan_tail(archive, dds, text);
    try {
        ArchiveWriter writer(staged, std::nullopt);
        const std::string digest = write_staged(archive, tail, dds, text, writer);
        verify_staged(staged, tail, dds, text);
        writer.keep();
        // The hash of the bytes as they were written: the install checks the staged file
        // against it before anything live is touched.
        return digest;
    } catch (const LauncherError& error) {
        if (std::string_view(error.stage).starts_with("pck_rebase_")) {
            throw stage_error(error);
        }
        throw;
    }
}

}  // namespace vorn
