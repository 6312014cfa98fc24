#include "support/png_writer.h"

#include <zlib.h>

#include <stdexcept>

namespace vorn::test {
namespace {

void put_be32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>(value >> shift));
    }
}

void chunk(std::string& out, const char* type, const std::string& data) {
    put_be32(out, static_cast<std::uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    out += body;
    put_be32(out, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                                                   static_cast<uInt>(body.size()))));
}

std::string deflated(const std::string& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  Z_BEST_SPEED) != Z_OK) {
        throw std::runtime_error("png: compress failed");
    }
    out.resize(size);
    return out;
}

}  // namespace

std::string png_rgba(std::uint32_t width, std::uint32_t height, const std::vector<Rgba>& pixels) {
    if (pixels.size() != static_cast<std::size_t>(width) * height) {
        throw std::invalid_argument("png: pixel count");
    }
    std::string out = "\x89PNG\r\n\x1a\n";
    std::string header;
    put_be32(header, width);
    put_be32(header, height);
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter, plain
    chunk(out, "IHDR", header);
    std::string raw;
    raw.reserve(static_cast<std::size_t>(height) * (1 + width * 4));
    for (std::uint32_t y = 0; y < height; ++y) {
        raw.push_back('\0');  // filter: none
        for (std::uint32_t x = 0; x < width; ++x) {
            const Rgba& p = pixels[static_cast<std::size_t>(y) * width + x];
            raw += {static_cast<char>(p.r), static_cast<char>(p.g), static_cast<char>(p.b),
                    static_cast<char>(p.a)};
        }
    }
    chunk(out, "IDAT", deflated(raw));
    chunk(out, "IEND", "");
    return out;
}

std::string png_filled(std::uint32_t width, std::uint32_t height, Rgba colour) {
    return png_rgba(width, height,
                    std::vector<Rgba>(static_cast<std::size_t>(width) * height, colour));
}

}  // namespace vorn::test
