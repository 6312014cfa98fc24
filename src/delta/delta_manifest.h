// The delta package manifest: its records and the strict parse of its document.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "model/file_digest.h"
#include "model/manifest.h"

namespace vorn {

// A 4-byte in-place change at the start of a file that an append extends.
struct PatchHeader {
    std::uint64_t offset = 4;
    std::string before_hex;  // 8 lower-case hex digits, file order
    std::string after_hex;
};

namespace delta {

// One zlib-compressed blob, named by the digest of its compressed bytes.
struct Payload {
    std::string path;  // "payload/" + compressed.sha256 + ".zlib"
    FileDigest compressed;
    FileDigest raw;
};

}  // namespace delta

struct DeltaEntry {
    std::string path;                // UTF-8, forward slashes, begins with "element/"
    std::string operation;           // "append" or "full"
    std::optional<FileDigest> base;  // append only
    FileDigest target;
    std::optional<PatchHeader> patch_header;  // append only, may be absent
    delta::Payload payload;
};

struct DeltaManifest {
    std::string manifest_sha256;
    std::string manifest_text;  // the exact bytes of the document
    std::vector<DeltaEntry> entries;
};

// Checks the text against `expected_sha256`, then validates every key of the document.
// A non-empty `allowed_paths` restricts the entry paths. Touches no file. Throws
// LauncherError with a "delta_" stage (or a relative-path stage for a bad entry path).
DeltaManifest parse_delta_manifest(ByteView text, const std::string& expected_sha256,
                                   const std::set<std::string>& allowed_paths);

}  // namespace vorn
