#include "guild/png_to_dds.h"

#include <windows.h>
#include <objidl.h>

#include <gdiplus.h>
#include <zlib.h>

#include <array>
#include <cstring>

#include "core/launcher_error.h"
#include "core/system/gdiplus_session.h"
#include "core/system/memory_stream.h"

namespace vorn {
namespace {

constexpr std::array<std::uint8_t, 8> png_signature{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::size_t smallest_png = 24;

void write_header(Bytes& dds, std::uint32_t width, std::uint32_t height) {
    put_u32_le(dds, 0, 0x20534444);  // "DDS "
    put_u32_le(dds, 4, 124);
    put_u32_le(dds, 8, 0x100F);  // caps, height, width, pitch, pixel format
    put_u32_le(dds, 12, height);
    put_u32_le(dds, 16, width);
    put_u32_le(dds, 20, width * 4);
    put_u32_le(dds, 76, 32);
    put_u32_le(dds, 80, 0x41);  // RGB with alpha
    put_u32_le(dds, 88, 32);
    put_u32_le(dds, 92, 0x00FF0000);
    put_u32_le(dds, 96, 0x0000FF00);
    put_u32_le(dds, 100, 0x000000FF);
    put_u32_le(dds, 104, 0xFF000000);
    put_u32_le(dds, 108, 0x1000);  // texture
}

[[noreturn]] void fail_dimensions() {
    throw LauncherError("guild_dimensions", L"Размер изображения иконок не поддерживается.");
}

[[noreturn]] void fail_png() {
    throw LauncherError("guild_png", L"Сервер вернул неверное изображение иконок.");
}

std::uint32_t big_endian_u32(ByteView bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) << 24 |
           static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

// The chunks must tile the file exactly, each with its checksum, from the header chunk to
// the end chunk, and the header must name a size we take. The decoder is never handed a
// file whose structure lies: a chunk that claims more bytes than the file holds makes some
// decoders read past their buffer, and a header of 30000 x 30000 pixels would make it
// allocate gigabytes before anything else is looked at.
void check_structure(ByteView png) {
    std::size_t at = png_signature.size();
    bool ended = false;
    for (std::size_t chunk = 0; at < png.size(); ++chunk) {
        if (ended || png.size() - at < 12) {
            fail_png();
        }
        const std::uint32_t length = big_endian_u32(png, at);
        if (length > png.size() - at - 12) {
            fail_png();
        }
        const ByteView typed = png.subspan(at + 4, length + 4);
        if (big_endian_u32(png, at + 8 + length) !=
            crc32(0, typed.data(), static_cast<uInt>(typed.size()))) {
            fail_png();
        }
        const bool header = std::equal(typed.begin(), typed.begin() + 4, "IHDR");
        if ((chunk == 0) != header || (header && length != 13)) {
            fail_png();
        }
        if (header) {
            const std::uint32_t width = big_endian_u32(typed, 4);
            const std::uint32_t height = big_endian_u32(typed, 8);
            if (width == 0 || height == 0 || width > largest_icon_side ||
                height > largest_icon_side) {
                fail_dimensions();
            }
        }
        ended = std::equal(typed.begin(), typed.begin() + 4, "IEND");
        at += 12 + length;
    }
    if (!ended) {
        fail_png();
    }
}

// 32-bit ARGB as GDI+ lays it out in memory is blue, green, red, alpha: the DDS order.
void copy_pixels(Gdiplus::Bitmap& image, std::uint32_t width, std::uint32_t height, Bytes& dds) {
    Gdiplus::Rect whole(0, 0, static_cast<INT>(width), static_cast<INT>(height));
    Gdiplus::BitmapData data{};
    if (image.LockBits(&whole, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) !=
        Gdiplus::Ok) {
        throw LauncherError("guild_image", L"Не удалось прочитать изображение иконок.");
    }
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 4;
    const auto* rows = static_cast<const std::uint8_t*>(data.Scan0);
    for (std::uint32_t row = 0; row < height; ++row) {
        std::memcpy(dds.data() + dds_header_size + row * row_bytes,
                    rows + static_cast<std::ptrdiff_t>(row) * data.Stride, row_bytes);
    }
    image.UnlockBits(&data);
}

}  // namespace

Bytes png_to_dds(ByteView png) {
    if (png.size() < smallest_png ||
        !std::equal(png_signature.begin(), png_signature.end(), png.begin())) {
        fail_png();
    }
    check_structure(png);
    const GdiplusSession gdiplus;
    if (!gdiplus.started()) {
        throw LauncherError("guild_image", L"Не удалось открыть изображение иконок.");
    }
    const MemoryStream memory = stream_over(png.data(), png.size());
    if (memory.out_of_memory) {
        throw LauncherError("guild_memory", L"Недостаточно памяти для иконок.", memory.error);
    }
    if (!memory.stream) {
        throw LauncherError("guild_image", L"Не удалось открыть изображение иконок.");
    }
    // The bitmap reads the stream lazily and goes before it.
    Gdiplus::Bitmap image(memory.stream.get());
    if (image.GetLastStatus() != Gdiplus::Ok) {
        fail_dimensions();
    }
    const UINT width = image.GetWidth();
    const UINT height = image.GetHeight();
    if (image.GetLastStatus() != Gdiplus::Ok || width == 0 || height == 0 ||
        width > largest_icon_side || height > largest_icon_side) {
        fail_dimensions();
    }
    Bytes dds(dds_header_size + static_cast<std::size_t>(width) * height * 4, 0);
    write_header(dds, width, height);
    copy_pixels(image, width, height, dds);
    return dds;
}

}  // namespace vorn
