// gzip and zlib streams to bytes, within a size limit.
#pragma once

#include <cstdint>

#include "core/bytes.h"

namespace vorn {

// Decodes exactly one stream (gzip wrapper when `gzip`, else zlib). Refuses output above
// `max_output` ("decompress_limit") before it is appended, and a damaged, cut or
// over-long stream ("decompress_patch").
Bytes inflate_bytes(ByteView input, std::uint64_t max_output, bool gzip);

}  // namespace vorn
