// gzip and zlib streams to bytes or to a file, within a size limit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "core/bytes.h"
#include "net/inflate_stream.h"

namespace vorn {

// Decodes exactly one stream fed to it in pieces (gzip wrapper when `gzip`, else zlib).
// Refuses output above `max_output` ("decompress_limit") before it is handed on, and a
// damaged, cut or over-long stream ("decompress_patch").
class StreamInflater {
  public:
    using Sink = std::function<void(const std::uint8_t* data, std::size_t size)>;

    StreamInflater(bool gzip, std::uint64_t max_output);

    // Decodes the next piece of input; every piece of output goes to `sink`, in order.
    void feed(ByteView input, const Sink& sink);

    // Refuses a stream that has not ended.
    void finish() const;

    std::uint64_t produced() const { return produced_; }

  private:
    InflateStream decoder_;
    std::uint64_t max_output_;
    std::uint64_t produced_ = 0;
    bool ended_ = false;
};

// The whole stream in `input`, decoded.
Bytes inflate_bytes(ByteView input, std::uint64_t max_output, bool gzip);

struct InflatedFile {
    std::uint64_t size = 0;
    std::string sha256;
};

// Decodes the one stream in `source` into `target` (created new, flushed), reading and
// writing in blocks, and hashes the output. On failure the target is deleted. Throws the
// inflater's errors, and "file_read" or "file_write" with the Win32 code.
InflatedFile inflate_file(const std::filesystem::path& source, const std::filesystem::path& target,
                          std::uint64_t max_output, bool gzip);

}  // namespace vorn
