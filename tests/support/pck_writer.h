// A writer of game archives for the tests, written from the format alone and sharing no code
// with the reader under test. Every field can be set to a wrong value on purpose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn::test {

inline constexpr std::uint64_t pck_part_size = 0x7FFFFF00;  // a split .pck holds exactly this

struct PckWriterKeys {
    std::uint32_t key1 = 0;
    std::uint32_t key2 = 0;
};

struct PckWriterEntry {
    std::string name;  // raw bytes without the NUL; 260 bytes or more leave no NUL
    std::string content;
    bool compressed = false;                   // data stored as a zlib stream
    std::optional<std::uint64_t> data_offset;  // else right after the previous block
    std::size_t record_size = 272;             // 276 appends 4 ignored bytes
    bool zlib_record = false;                  // the record stored as a zlib stream

    // Faults on purpose: values written instead of the true ones.
    std::optional<std::string> stored;          // the stored bytes
    std::optional<std::uint32_t> offset_field;  // data offset in the record
    std::optional<std::uint32_t> uncompressed_field;
    std::optional<std::uint32_t> stored_field;
    std::optional<std::string> record;           // the record bytes as stored
    std::string record_tail;                     // bytes after the stored record
    std::optional<std::uint32_t> second_length;  // the length under key2
};

struct PckWriterArchive {
    PckWriterKeys keys;
    std::vector<PckWriterEntry> entries;
    std::string description;                    // up to 256 bytes
    std::optional<std::uint64_t> index_offset;  // else right after the last data block
    std::string after_index;                    // bytes between the index and the footer

    // Faults on purpose: values written instead of the true ones.
    std::uint32_t header_tag1 = 0x4DCA23EF;
    std::uint32_t header_tag2 = 0x56A089B7;
    std::optional<std::uint32_t> size_field;
    std::uint32_t footer_tag1 = 0xFDFDFEEE;
    std::uint32_t footer_tag2 = 0xF00DBEEF;
    std::uint32_t footer_version1 = 0x00020002;
    std::uint32_t footer_version2 = 0x00020002;
    std::optional<std::uint32_t> index_offset_field;  // written as is, not XORed
    std::optional<std::uint32_t> entry_count;
    std::vector<std::pair<std::uint64_t, std::string>> patches;  // written over the result
};

// A logical archive: its size and the ranges that hold bytes (the rest is zero), so that
// archives of gigabytes can be laid out as sparse files.
struct PckImage {
    std::uint64_t size = 0;
    std::uint64_t index_offset = 0;
    std::vector<std::uint64_t> data_offsets;  // where each entry's stored bytes went
    std::vector<std::pair<std::uint64_t, std::string>> parts;

    std::string bytes(std::uint64_t offset, std::uint64_t length) const;
    std::string flat() const { return bytes(0, size); }
};

PckImage build_pck(const PckWriterArchive& archive);

// `input` as a zlib stream at the best level.
std::string zlib_stream(const std::string& input);

// `name` in `code_page`; throws when a character has no exact form there.
std::string encode_name(const std::wstring& name, unsigned code_page);

// Writes `size` bytes to `path`, zero except `parts` (offsets relative to `from`), extending
// the file without writing the zeros so that it stays sparse on the Linux side.
void write_sparse(const std::filesystem::path& path, std::uint64_t from, std::uint64_t size,
                  const std::vector<std::pair<std::uint64_t, std::string>>& parts);

// Stores the image as a .pck of its first 0x7FFFFF00 bytes and, when longer, a .pkx of the
// rest.
void write_pck_files(const PckImage& image, const std::filesystem::path& pck,
                     const std::filesystem::path& pkx);

// Every entry of an archive held in memory as (raw name, stored bytes), in index order:
// the tests' own reader, for checking what the code under test wrote. Throws
// std::runtime_error on anything it cannot read.
std::vector<std::pair<std::string, std::string>> read_pck_entries(const std::string& archive,
                                                                  PckWriterKeys keys);

}  // namespace vorn::test
