#include "support/pck_writer.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace vorn::test {
namespace {

constexpr std::size_t name_field = 260;
constexpr std::size_t description_field = 256;
constexpr std::uint64_t footer_size = 280;

void put_u32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

// The record as the format lays it out, cut or extended with filler to `record_size`.
std::string entry_record(const PckWriterEntry& entry, std::uint64_t offset,
                         std::uint64_t stored_size) {
    std::string record = entry.name.substr(0, name_field);
    record.resize(name_field, '\0');
    put_u32(record, entry.offset_field.value_or(static_cast<std::uint32_t>(offset)));
    put_u32(record,
            entry.uncompressed_field.value_or(static_cast<std::uint32_t>(entry.content.size())));
    put_u32(record, entry.stored_field.value_or(static_cast<std::uint32_t>(stored_size)));
    record.resize(entry.record_size, '\xAB');
    return entry.zlib_record ? zlib_stream(record) : record;
}

}  // namespace

std::string PckImage::bytes(std::uint64_t offset, std::uint64_t length) const {
    std::string out(length, '\0');
    for (const auto& [at, data] : parts) {
        const std::uint64_t begin = std::max(at, offset);
        const std::uint64_t end = std::min(at + data.size(), offset + length);
        if (begin < end) {
            std::copy_n(data.data() + (begin - at), end - begin, out.data() + (begin - offset));
        }
    }
    return out;
}

std::string zlib_stream(const std::string& input) {
    // One deflater for every call: setting one up costs more than deflating a record, and
    // an archive of a million entries has a million records.
    struct Deflater {
        z_stream stream{};
        Deflater() {
            if (deflateInit(&stream, Z_BEST_COMPRESSION) != Z_OK) {
                throw std::runtime_error("deflateInit failed");
            }
        }
        ~Deflater() { deflateEnd(&stream); }
    };
    static Deflater deflater;
    z_stream& stream = deflater.stream;
    deflateReset(&stream);
    std::string out(deflateBound(&stream, static_cast<uLong>(input.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        throw std::runtime_error("deflate failed");
    }
    out.resize(stream.total_out);
    return out;
}

std::string encode_name(const std::wstring& name, unsigned code_page) {
    BOOL lossy = FALSE;
    const int length =
        WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, name.data(),
                            static_cast<int>(name.size()), nullptr, 0, nullptr, &lossy);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, name.data(), static_cast<int>(name.size()),
                        out.data(), length, nullptr, &lossy);
    if (length <= 0 || lossy) {
        throw std::runtime_error("name has no exact form in the code page");
    }
    return out;
}

PckImage build_pck(const PckWriterArchive& archive) {
    PckImage image;
    std::string header;
    put_u32(header, archive.header_tag1);
    put_u32(header, 0);  // the size, set below
    put_u32(header, archive.header_tag2);
    image.parts.emplace_back(0, header);

    std::uint64_t cursor = 12;
    std::vector<std::string> records;
    for (const PckWriterEntry& entry : archive.entries) {
        const std::string stored =
            entry.stored.value_or(entry.compressed ? zlib_stream(entry.content) : entry.content);
        const std::uint64_t offset = entry.data_offset.value_or(cursor);
        image.data_offsets.push_back(offset);
        image.parts.emplace_back(offset, stored);
        cursor = std::max(cursor, offset + stored.size());
        records.push_back(entry.record.value_or(entry_record(entry, offset, stored.size())) +
                          entry.record_tail);
    }

    image.index_offset = archive.index_offset.value_or(cursor);
    std::string index;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto length = static_cast<std::uint32_t>(records[i].size());
        put_u32(index, length ^ archive.keys.key1);
        put_u32(index, archive.entries[i].second_length.value_or(length) ^ archive.keys.key2);
        index += records[i];
    }
    index += archive.after_index;
    image.parts.emplace_back(image.index_offset, index);

    const std::uint64_t footer_offset = image.index_offset + index.size();
    image.size = footer_offset + footer_size;
    std::string footer;
    put_u32(footer, archive.footer_tag1);
    put_u32(footer, archive.footer_version1);
    put_u32(footer, archive.index_offset_field.value_or(
                        static_cast<std::uint32_t>(image.index_offset) ^ archive.keys.key1));
    std::string description = archive.description.substr(0, description_field);
    description.resize(description_field, '\0');
    footer += description;
    put_u32(footer, archive.footer_tag2);
    put_u32(footer,
            archive.entry_count.value_or(static_cast<std::uint32_t>(archive.entries.size())));
    put_u32(footer, archive.footer_version2);
    image.parts.emplace_back(footer_offset, footer);

    std::string size;
    put_u32(size, archive.size_field.value_or(static_cast<std::uint32_t>(image.size)));
    image.parts.emplace_back(4, size);
    for (const auto& patch : archive.patches) {
        image.parts.push_back(patch);
    }
    return image;
}

void write_sparse(const std::filesystem::path& path, std::uint64_t from, std::uint64_t size,
                  const std::vector<std::pair<std::uint64_t, std::string>>& parts) {
    std::filesystem::create_directories(path.parent_path());
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create test archive file");
    }
    // Setting the end first leaves a hole (Wine maps it to ftruncate); then only the
    // non-zero ranges are written.
    bool ok = SetFilePointerEx(file, LARGE_INTEGER{.QuadPart = static_cast<LONGLONG>(size)},
                               nullptr, FILE_BEGIN) &&
              SetEndOfFile(file);
    for (const auto& [at, data] : parts) {
        const std::uint64_t begin = std::max(at, from);
        const std::uint64_t end = std::min(at + data.size(), from + size);
        if (!ok || begin >= end) {
            continue;
        }
        DWORD written = 0;
        ok = SetFilePointerEx(file, LARGE_INTEGER{.QuadPart = static_cast<LONGLONG>(begin - from)},
                              nullptr, FILE_BEGIN) &&
             WriteFile(file, data.data() + (begin - at), static_cast<DWORD>(end - begin), &written,
                       nullptr) &&
             written == end - begin;
    }
    CloseHandle(file);
    if (!ok) {
        throw std::runtime_error("cannot write test archive file");
    }
}

void write_pck_files(const PckImage& image, const std::filesystem::path& pck,
                     const std::filesystem::path& pkx) {
    write_sparse(pck, 0, std::min(image.size, pck_part_size), image.parts);
    if (image.size > pck_part_size) {
        write_sparse(pkx, pck_part_size, image.size - pck_part_size, image.parts);
    }
}

namespace {

std::uint32_t get_u32(const std::string& bytes, std::size_t at) {
    if (at + 4 > bytes.size()) {
        throw std::runtime_error("pck: read past the end");
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + i])) << (8 * i);
    }
    return value;
}

std::string record_bytes(const std::string& stored) {
    if (stored.size() == 272 || stored.size() == 276) {
        return stored;
    }
    std::string record(276, '\0');
    uLongf size = static_cast<uLongf>(record.size());
    if (uncompress(reinterpret_cast<Bytef*>(record.data()), &size,
                   reinterpret_cast<const Bytef*>(stored.data()),
                   static_cast<uLong>(stored.size())) != Z_OK) {
        throw std::runtime_error("pck: record does not inflate");
    }
    record.resize(size);
    return record;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> read_pck_entries(const std::string& archive,
                                                                  PckWriterKeys keys) {
    const std::size_t footer = archive.size() - 280;
    if (archive.size() < 292 || get_u32(archive, footer) != 0xFDFDFEEE) {
        throw std::runtime_error("pck: no footer");
    }
    std::size_t at = get_u32(archive, footer + 8) ^ keys.key1;
    const std::uint32_t count = get_u32(archive, footer + 272);
    std::vector<std::pair<std::string, std::string>> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t length = get_u32(archive, at) ^ keys.key1;
        if (length != (get_u32(archive, at + 4) ^ keys.key2) || at + 8 + length > footer) {
            throw std::runtime_error("pck: bad record length");
        }
        const std::string record = record_bytes(archive.substr(at + 8, length));
        at += 8 + length;
        const std::string name = record.substr(0, record.find('\0'));
        const std::uint32_t offset = get_u32(record, 260);
        const std::uint32_t stored = get_u32(record, 268);
        if (offset + static_cast<std::uint64_t>(stored) > footer) {
            throw std::runtime_error("pck: data out of bounds");
        }
        entries.emplace_back(name, archive.substr(offset, stored));
    }
    return entries;
}

}  // namespace vorn::test
