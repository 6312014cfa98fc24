#include <gtest/gtest.h>

#include <zlib.h>

#include "net/inflate.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

Bytes sample(std::size_t size) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>((i * 7) % 13 + (i / 1000) % 3);
    }
    return data;
}

Bytes deflate_bytes(const Bytes& input, bool gzip) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, static_cast<uLong>(input.size())) + 64);
    z.next_in = const_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(Inflate, GzipAndZlibRoundTrip) {
    const Bytes data = sample(300000);
    EXPECT_EQ(inflate_bytes(deflate_bytes(data, true), data.size(), true), data);
    EXPECT_EQ(inflate_bytes(deflate_bytes(data, false), data.size(), false), data);
    EXPECT_TRUE(inflate_bytes(deflate_bytes({}, true), 0, true).empty());
}

TEST(Inflate, WrapperMustMatch) {
    const Bytes data = sample(1000);
    VORN_EXPECT_ERROR(inflate_bytes(deflate_bytes(data, false), 5000, true), "decompress_patch",
                      L"Сжатый файл повреждён.");
    VORN_EXPECT_ERROR(inflate_bytes(deflate_bytes(data, true), 5000, false), "decompress_patch",
                      L"Сжатый файл повреждён.");
}

TEST(Inflate, LimitIsExact) {
    const Bytes data = sample(200000);
    const Bytes packed = deflate_bytes(data, true);
    EXPECT_EQ(inflate_bytes(packed, data.size(), true).size(), data.size());
    VORN_EXPECT_ERROR(inflate_bytes(packed, data.size() - 1, true), "decompress_limit",
                      L"Распакованный файл превышает допустимый размер.");
}

TEST(Inflate, TruncatedDamagedAndTrailingInput) {
    const Bytes data = sample(200000);
    Bytes packed = deflate_bytes(data, true);

    const Bytes cut(packed.begin(),
                    packed.begin() + static_cast<std::ptrdiff_t>(packed.size() / 2));
    VORN_EXPECT_ERROR(inflate_bytes(cut, data.size(), true), "decompress_patch",
                      L"Сжатый файл загружен не полностью.");
    const Bytes no_trailer(packed.begin(), packed.end() - 4);
    VORN_EXPECT_ERROR(inflate_bytes(no_trailer, data.size(), true), "decompress_patch",
                      L"Сжатый файл загружен не полностью.");
    VORN_EXPECT_ERROR(inflate_bytes({}, 10, false), "decompress_patch",
                      L"Сжатый файл загружен не полностью.");

    Bytes trailing = packed;
    trailing.push_back(0);
    VORN_EXPECT_ERROR(inflate_bytes(trailing, data.size(), true), "decompress_patch",
                      L"После сжатого файла обнаружены лишние данные.");

    Bytes damaged = packed;
    damaged[packed.size() - 6] ^= 0xff;  // the CRC of the gzip trailer
    VORN_EXPECT_ERROR(inflate_bytes(damaged, data.size(), true), "decompress_patch",
                      L"Сжатый файл повреждён.");
    const Bytes garbage = {1, 2, 3, 4, 5, 6, 7, 8};
    VORN_EXPECT_ERROR(inflate_bytes(garbage, 100, false), "decompress_patch",
                      L"Сжатый файл повреждён.");
}

}  // namespace
}  // namespace vorn
