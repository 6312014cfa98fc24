// One zlib decoder (zlib format, or the gzip wrapper), released on every path. Every
// reader of compressed bytes decodes through it.
#pragma once

#include <zlib.h>

namespace vorn {

class InflateStream {
  public:
    explicit InflateStream(bool gzip = false) noexcept {
        started_ = inflateInit2(&stream_, gzip ? gzip_window_bits : zlib_window_bits) == Z_OK;
    }
    ~InflateStream() {
        if (started_) {
            inflateEnd(&stream_);
        }
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    // False when the decoder could not start (no memory); the caller refuses in its words.
    bool started() const noexcept { return started_; }
    z_stream& get() noexcept { return stream_; }

  private:
    static constexpr int zlib_window_bits = 15;
    static constexpr int gzip_window_bits = 31;  // 15 + 16: the gzip wrapper only

    z_stream stream_{};
    bool started_ = false;
};

}  // namespace vorn
