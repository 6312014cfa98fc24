// The strict reader of an archive's index, and the check of one entry's data.
#pragma once

#include "archive/archive_reader.h"
#include "archive/pck_format.h"

namespace vorn {

// Whether the reader holds the whole archive or only its tail (then the header is not
// read and the index must lie in the tail).
enum class ArchivePart : bool { whole, tail };

// Validates the header, footer, key pair, every index record and every entry name, and
// returns the index. Throws the LauncherError `reading` makes of the first fault (by
// default a "pck_rebase_" stage); reads fail as the reader does.
PckIndex parse_archive(const ArchiveReader& reader, ArchivePart part,
                       const PckReading& reading = rebase_reading());

// An index record as the archive's writers store it: the 272-byte record compressed when
// that makes it shorter, behind its length prefix under `keys`.
Bytes encode_index_record(const std::string& raw_name, std::uint64_t data_offset,
                          std::uint64_t uncompressed_size, std::uint64_t stored_size,
                          const PckKeyPair& keys);

// Checks that the entry's data decodes: stored as is when both sizes are equal, else a
// zlib stream that inflates to exactly the uncompressed size and ends exactly at the
// stored size. Throws LauncherError ("pck_rebase_payload", "pck_rebase_zlib", or a read
// stage).
void verify_entry_data(const ArchiveReader& reader, const PckEntry& entry);

// The identity of an entry name: decoded strictly with code page 936, else 54936, else
// 1251; "/" turned into "\"; checked against the name rules ("pck_rebase_name");
// lower-cased.
std::wstring pck_name_identity(const std::string& raw_name);

}  // namespace vorn
