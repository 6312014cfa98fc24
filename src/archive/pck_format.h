// The game's archive format as far as the launcher reads it: tags, sizes, limits, the key
// pairs that obscure the index, and the index in memory.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/launcher_error.h"

namespace vorn {

inline constexpr std::uint32_t pck_header_tag1 = 0x4DCA23EF;
inline constexpr std::uint32_t pck_header_tag2 = 0x56A089B7;
inline constexpr std::uint32_t pck_footer_tag1 = 0xFDFDFEEE;
inline constexpr std::uint32_t pck_footer_tag2 = 0xF00DBEEF;
inline constexpr std::uint32_t pck_version = 0x00020002;

inline constexpr std::uint64_t pck_header_size = 12;
inline constexpr std::uint64_t pck_footer_size = 280;
inline constexpr std::uint64_t pck_description_size = 256;
inline constexpr std::uint64_t smallest_pck = 292;
inline constexpr std::uint64_t largest_pck = 0xfffffeff;
// A split archive: the .pck holds exactly this many bytes, the .pkx the rest.
inline constexpr std::uint64_t pck_split_size = 0x7FFFFF00;
inline constexpr std::uint64_t largest_pkx = 0x7FFFFFFF;

inline constexpr std::uint32_t most_pck_entries = 1000000;
inline constexpr std::uint64_t largest_pck_index = 268435456;  // 256 MiB
inline constexpr std::uint64_t largest_pck_entry = 268435456;
inline constexpr std::size_t pck_record_size = 272;
inline constexpr std::size_t pck_long_record_size = 276;
inline constexpr std::size_t pck_name_field = 260;

// The pair of 32-bit values that obscures an archive's index offset and record lengths.
struct PckKeyPair {
    std::uint32_t key1 = 0;
    std::uint32_t key2 = 0;

    bool operator==(const PckKeyPair&) const = default;
};

// The two pairs of the game versions served (build values).
const PckKeyPair& pck_key_pair(std::size_t which);

struct PckEntry {
    std::string raw_name;   // the name bytes before the NUL, in the game's code page
    std::wstring identity;  // decoded, "\" separators, lower-cased (empty unless strict)
    std::uint64_t data_offset = 0;
    std::uint64_t uncompressed_size = 0;
    std::uint64_t stored_size = 0;
    std::uint64_t record_offset = 0;  // where the record's length prefix starts
    std::uint64_t record_bytes = 0;   // the prefix and the record as stored
};

struct PckIndex {
    std::vector<PckEntry> entries;                   // index order
    std::map<std::wstring, std::size_t> identities;  // identity -> position in entries
    PckKeyPair keys;
    std::uint64_t index_offset = 0;
};

// Every archive failure: stage `stage` and the one message the user reads.
LauncherError archive_error(const char* stage, std::uint32_t win32 = 0);
[[noreturn]] void fail_archive(const char* stage, std::uint32_t win32 = 0);

// Why an index was refused. Each reader of archives turns a fault into its own stage and
// message: the rebase and the guild icons tell the user different things.
enum class PckFault {
    too_small,     // below the smallest archive
    header,        // header tags or size
    footer,        // footer tags or versions
    no_entries,    // an entry count of zero
    many_entries,  // more entries than an archive may hold
    keys,          // no key pair, or both, fit
    index_size,    // the index is larger than any archive's
    table,         // the next length prefix reaches into the footer
    record,        // a record's lengths disagree or reach into the footer
    record_size,   // a record that is not 272 or 276 bytes, raw or inflated
    name_end,      // no NUL in the name field
    name,          // a name that breaks the name rules
    span,          // entry data outside the data area
    tail,          // entry data across the start of a tail view
    duplicate,     // two entries of one identity
    extra,         // bytes between the last record and the footer
    zlib,          // a decoder that cannot start
};

// How a reader wants an index read: whose messages, and whether names must pass the name
// rules (identities, duplicates) or are only carried as bytes.
struct PckReading {
    LauncherError (*error)(PckFault fault);
    bool strict_names = true;
};

// The rebase's reading: "pck_rebase_" stages, strict names.
const PckReading& rebase_reading();

}  // namespace vorn
