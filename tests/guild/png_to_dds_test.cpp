#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/bytes.h"
#include "guild/png_to_dds.h"
#include "support/launcher_error_assert.h"
#include "support/png_writer.h"

namespace vorn {
namespace {

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(PngToDds, HeaderAndEveryPixelInBlueGreenRedAlphaOrder) {
    // Distinct colours and alpha values in every row and column, so a swapped channel, a
    // flipped image or a wrong stride shows.
    const std::uint32_t width = 5;
    const std::uint32_t height = 3;
    std::vector<test::Rgba> pixels;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            pixels.push_back({static_cast<std::uint8_t>(10 + x * 40),
                              static_cast<std::uint8_t>(20 + y * 70),
                              static_cast<std::uint8_t>(200 - x * 30 - y),
                              static_cast<std::uint8_t>(x == 0 ? 255 : 250 - x * 20 - y * 5)});
        }
    }
    // Alpha other than 0 and 255 comes out premultiplied by no one: GDI+ hands back the
    // straight ARGB that the PNG holds.
    const Bytes dds = png_to_dds(bytes_of(test::png_rgba(width, height, pixels)));
    ASSERT_EQ(dds.size(), 128u + width * height * 4);
    const std::vector<std::pair<std::size_t, std::uint32_t>> header = {
        {0, 0x20534444},  {4, 124},         {8, 0x100F},       {12, height},      {16, width},
        {20, width * 4},  {76, 32},         {80, 0x41},        {84, 0},           {88, 32},
        {92, 0x00FF0000}, {96, 0x0000FF00}, {100, 0x000000FF}, {104, 0xFF000000}, {108, 0x1000}};
    for (const auto& [at, value] : header) {
        EXPECT_EQ(get_u32_le(dds, at), value) << "offset " << at;
    }
    for (std::size_t at = 24; at < 76; ++at) {
        EXPECT_EQ(dds[at], 0) << "offset " << at;
    }
    for (std::size_t at = 112; at < 128; ++at) {
        EXPECT_EQ(dds[at], 0) << "offset " << at;
    }
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const test::Rgba& p = pixels[y * width + x];
            const std::size_t at = 128 + (y * width + x) * 4;
            EXPECT_EQ(dds[at], p.b) << x << "," << y;
            EXPECT_EQ(dds[at + 1], p.g) << x << "," << y;
            EXPECT_EQ(dds[at + 2], p.r) << x << "," << y;
            EXPECT_EQ(dds[at + 3], p.a) << x << "," << y;
        }
    }
}

TEST(PngToDds, Refusals) {
    const std::wstring size_message = L"Размер изображения иконок не поддерживается.";
    VORN_EXPECT_ERROR(png_to_dds(bytes_of(test::png_filled(4097, 16, {1, 2, 3, 4}))),
                      "guild_dimensions", size_message);
    VORN_EXPECT_ERROR(png_to_dds(bytes_of(test::png_filled(16, 4097, {1, 2, 3, 4}))),
                      "guild_dimensions", size_message);
    EXPECT_NO_THROW(png_to_dds(bytes_of(test::png_filled(4096, 1, {1, 2, 3, 4}))));

    const std::string png = test::png_filled(4, 4, {1, 2, 3, 4});
    VORN_EXPECT_ERROR(png_to_dds(bytes_of(png.substr(0, 23))), "guild_png",
                      L"Сервер вернул неверное изображение иконок.");
    std::string wrong_signature = png;
    wrong_signature[1] = 'Q';
    VORN_EXPECT_ERROR(png_to_dds(bytes_of(wrong_signature)), "guild_png");
    // A signature followed by nothing an image decoder can read.
    VORN_EXPECT_ERROR(png_to_dds(bytes_of(png.substr(0, 8) + std::string(40, 'x'))),
                      "guild_dimensions", size_message);
}

}  // namespace
}  // namespace vorn
