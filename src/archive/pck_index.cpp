#include "archive/pck_index.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "core/io_block.h"
#include "net/inflate_stream.h"

namespace vorn {
namespace {

constexpr std::uint64_t record_prefix = 8;

struct Footer {
    std::uint32_t obscured_index = 0;
    std::uint32_t entry_count = 0;
};

void check_header(const ArchiveReader& reader, const PckReading& reading) {
    const Bytes header = reader.read(0, pck_header_size);
    if (get_u32_le(header, 0) != pck_header_tag1 || get_u32_le(header, 4) != reader.size() ||
        get_u32_le(header, 8) != pck_header_tag2) {
        throw reading.error(PckFault::header);
    }
}

Footer read_footer(const ArchiveReader& reader, const PckReading& reading) {
    const Bytes footer = reader.read(reader.size() - pck_footer_size, pck_footer_size);
    if (get_u32_le(footer, 0) != pck_footer_tag1 || get_u32_le(footer, 4) != pck_version ||
        get_u32_le(footer, 268) != pck_footer_tag2 || get_u32_le(footer, 276) != pck_version) {
        throw reading.error(PckFault::footer);
    }
    const Footer read{get_u32_le(footer, 8), get_u32_le(footer, 272)};
    if (read.entry_count == 0) {
        throw reading.error(PckFault::no_entries);
    }
    if (read.entry_count > most_pck_entries) {
        throw reading.error(PckFault::many_entries);
    }
    return read;
}

// The length both prefixes of a record give under `keys`, or none when they disagree or
// fall outside 1 ... 276.
std::optional<std::uint32_t> record_length(const Bytes& prefix, std::size_t at,
                                           const PckKeyPair& keys) {
    const std::uint32_t first = get_u32_le(prefix, at) ^ keys.key1;
    const std::uint32_t second = get_u32_le(prefix, at + 4) ^ keys.key2;
    if (first != second || first < 1 || first > pck_long_record_size) {
        return std::nullopt;
    }
    return first;
}

// Exactly one of the two key pairs must point at a plausible first record.
PckKeyPair find_key_pair(const ArchiveReader& reader, const Footer& footer,
                         const PckReading& reading, std::uint64_t& index_offset) {
    const std::uint64_t footer_start = reader.size() - pck_footer_size;
    std::optional<PckKeyPair> found;
    for (std::size_t which = 0; which < 2; ++which) {
        const PckKeyPair& keys = pck_key_pair(which);
        const std::uint64_t candidate = footer.obscured_index ^ keys.key1;
        if (candidate < pck_header_size || candidate + record_prefix > footer_start ||
            candidate < reader.start()) {
            continue;
        }
        if (record_length(reader.read(candidate, record_prefix), 0, keys)) {
            if (found) {
                throw reading.error(PckFault::keys);  // both pairs fit: the archive is ambiguous
            }
            found = keys;
            index_offset = candidate;
        }
    }
    if (!found) {
        throw reading.error(PckFault::keys);
    }
    if (footer_start - index_offset > largest_pck_index) {
        throw reading.error(PckFault::index_size);
    }
    return *found;
}

// The 272 or 276 bytes of one record: stored raw at those lengths, else a zlib stream
// that inflates to one of them, using all of its bytes.
Bytes decode_record(const std::uint8_t* data, std::uint32_t length, const PckReading& reading) {
    if (length == pck_record_size || length == pck_long_record_size) {
        return Bytes(data, data + length);
    }
    Bytes record(pck_long_record_size + 1);
    InflateStream inflater;
    if (!inflater.started()) {
        throw reading.error(PckFault::zlib);
    }
    z_stream& stream = inflater.get();
    stream.next_in = const_cast<std::uint8_t*>(data);
    stream.avail_in = length;
    stream.next_out = record.data();
    stream.avail_out = static_cast<uInt>(record.size());
    const int result = inflate(&stream, Z_FINISH);
    if (result != Z_STREAM_END || stream.avail_in != 0 ||
        (stream.total_out != pck_record_size && stream.total_out != pck_long_record_size)) {
        throw reading.error(PckFault::record_size);
    }
    record.resize(stream.total_out);
    return record;
}

std::wstring strict_identity(const std::string& raw_name, const PckReading& reading) {
    try {
        return pck_name_identity(raw_name);
    } catch (const LauncherError&) {
        throw reading.error(PckFault::name);
    }
}

PckEntry read_entry(const Bytes& record, const ArchiveReader& reader, std::uint64_t index_offset,
                    const PckReading& reading) {
    const auto nul = std::find(record.begin(), record.begin() + pck_name_field, 0);
    if (nul == record.begin() + pck_name_field) {
        throw reading.error(PckFault::name_end);
    }
    PckEntry entry;
    entry.raw_name.assign(record.begin(), nul);
    if (reading.strict_names) {
        entry.identity = strict_identity(entry.raw_name, reading);
    }
    entry.data_offset = get_u32_le(record, 260);
    entry.uncompressed_size = get_u32_le(record, 264);
    entry.stored_size = get_u32_le(record, 268);
    if (entry.uncompressed_size > largest_pck_entry ||
        entry.stored_size > entry.uncompressed_size ||
        (entry.uncompressed_size != 0 && entry.stored_size == 0) ||
        entry.data_offset < pck_header_size ||
        entry.data_offset + entry.stored_size > index_offset) {
        throw reading.error(PckFault::span);
    }
    if (entry.data_offset < reader.start() &&
        entry.data_offset + entry.stored_size > reader.start()) {
        throw reading.error(PckFault::tail);
    }
    return entry;
}

void read_records(const ArchiveReader& reader, const Footer& footer, const PckReading& reading,
                  PckIndex& index) {
    const std::uint64_t footer_start = reader.size() - pck_footer_size;
    const Bytes records = reader.read(index.index_offset, footer_start - index.index_offset);
    std::uint64_t at = 0;
    for (std::uint32_t i = 0; i < footer.entry_count; ++i) {
        if (at + record_prefix > records.size()) {
            throw reading.error(PckFault::table);
        }
        const auto length = record_length(records, static_cast<std::size_t>(at), index.keys);
        if (!length || at + record_prefix + *length > records.size()) {
            throw reading.error(PckFault::record);
        }
        const Bytes record = decode_record(records.data() + at + record_prefix, *length, reading);
        PckEntry entry = read_entry(record, reader, index.index_offset, reading);
        entry.record_offset = index.index_offset + at;
        entry.record_bytes = record_prefix + *length;
        if (reading.strict_names &&
            !index.identities.emplace(entry.identity, index.entries.size()).second) {
            throw reading.error(PckFault::duplicate);
        }
        index.entries.push_back(std::move(entry));
        at += record_prefix + *length;
    }
    if (at != records.size()) {
        throw reading.error(PckFault::extra);
    }
}

}  // namespace

Bytes encode_index_record(const std::string& raw_name, std::uint64_t data_offset,
                          std::uint64_t uncompressed_size, std::uint64_t stored_size,
                          const PckKeyPair& keys) {
    Bytes record(pck_record_size, 0);
    std::memcpy(record.data(), raw_name.data(), std::min(raw_name.size(), pck_name_field - 1));
    put_u32_le(record, 260, data_offset);
    put_u32_le(record, 264, uncompressed_size);
    put_u32_le(record, 268, stored_size);
    Bytes packed(compressBound(pck_record_size));
    uLongf packed_size = static_cast<uLongf>(packed.size());
    if (compress2(packed.data(), &packed_size, record.data(), pck_record_size,
                  Z_BEST_COMPRESSION) == Z_OK &&
        packed_size < pck_record_size) {
        packed.resize(packed_size);
        record = std::move(packed);
    }
    Bytes prefixed(record_prefix + record.size());
    put_u32_le(prefixed, 0, record.size() ^ keys.key1);
    put_u32_le(prefixed, 4, record.size() ^ keys.key2);
    std::copy(record.begin(), record.end(), prefixed.begin() + record_prefix);
    return prefixed;
}

PckIndex parse_archive(const ArchiveReader& reader, ArchivePart part, const PckReading& reading) {
    if (reader.size() < smallest_pck) {
        throw reading.error(PckFault::too_small);
    }
    if (part == ArchivePart::whole) {
        check_header(reader, reading);
    }
    const Footer footer = read_footer(reader, reading);
    PckIndex index;
    index.keys = find_key_pair(reader, footer, reading, index.index_offset);
    read_records(reader, footer, reading, index);
    return index;
}

void verify_entry_data(const ArchiveReader& reader, const PckEntry& entry) {
    if (entry.stored_size == entry.uncompressed_size) {
        // Stored as is: every byte must still be there to be read.
        Bytes block(
            static_cast<std::size_t>(std::min<std::uint64_t>(entry.stored_size, io_block_size)));
        for (std::uint64_t done = 0; done < entry.stored_size;) {
            const std::uint64_t chunk =
                std::min<std::uint64_t>(entry.stored_size - done, io_block_size);
            reader.read(entry.data_offset + done, block.data(), chunk);
            done += chunk;
        }
        return;
    }
    InflateStream inflater;
    if (!inflater.started()) {
        fail_archive("pck_rebase_zlib");
    }
    z_stream& stream = inflater.get();
    Bytes input(
        static_cast<std::size_t>(std::min<std::uint64_t>(entry.stored_size, io_block_size)));
    Bytes output(io_block_size);
    int result = Z_OK;
    for (std::uint64_t done = 0; done < entry.stored_size;) {
        const std::uint64_t chunk =
            std::min<std::uint64_t>(entry.stored_size - done, io_block_size);
        reader.read(entry.data_offset + done, input.data(), chunk);
        done += chunk;
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(chunk);
        while (stream.avail_in > 0) {
            if (result == Z_STREAM_END) {
                fail_archive("pck_rebase_payload");  // bytes after the end of the stream
            }
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            result = inflate(&stream, Z_NO_FLUSH);
            if ((result != Z_OK && result != Z_STREAM_END) ||
                stream.total_out > entry.uncompressed_size) {
                fail_archive("pck_rebase_payload");
            }
        }
    }
    if (result != Z_STREAM_END || stream.total_out != entry.uncompressed_size) {
        fail_archive("pck_rebase_payload");
    }
}

}  // namespace vorn
