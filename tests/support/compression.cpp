#include "support/compression.h"

#include <zlib.h>

#include <stdexcept>

namespace vorn::test {

std::string compressed(const std::string& input, bool gzip) {
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("compressed: deflateInit2 failed");
    }
    std::string out(deflateBound(&z, static_cast<uLong>(input.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("compressed: deflate did not finish");
    }
    return out;
}

}  // namespace vorn::test
