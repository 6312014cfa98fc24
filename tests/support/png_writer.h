// PNG images for the tests, written from the format with zlib alone: the decoder under
// test (GDI+) never sees an image it made itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 0;
};

// An 8-bit RGBA, non-interlaced PNG of width x height pixels, rows top first.
std::string png_rgba(std::uint32_t width, std::uint32_t height, const std::vector<Rgba>& pixels);

// A PNG whose every pixel is `colour`.
std::string png_filled(std::uint32_t width, std::uint32_t height, Rgba colour);

}  // namespace vorn::test
