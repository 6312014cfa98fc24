#include "net/inflate.h"

#include <zlib.h>

#include <array>

#include "core/launcher_error.h"

namespace vorn {
namespace {

constexpr int gzip_window_bits = 31;  // 15 + 16: gzip wrapper only
constexpr int zlib_window_bits = 15;
constexpr std::size_t inflate_step = 65536;

[[noreturn]] void inflate_failure(const wchar_t* message) {
    throw LauncherError("decompress_patch", message);
}

// Releases the inflater on every path.
struct InflateStream {
    z_stream stream{};
    bool open = false;
    ~InflateStream() {
        if (open) {
            inflateEnd(&stream);
        }
    }
};

}  // namespace

Bytes inflate_bytes(ByteView input, std::uint64_t max_output, bool gzip) {
    if (input.size() > 0xffffffffull) {
        inflate_failure(L"Сжатый файл слишком велик.");
    }
    InflateStream z;
    if (inflateInit2(&z.stream, gzip ? gzip_window_bits : zlib_window_bits) != Z_OK) {
        inflate_failure(L"Не удалось подготовить распаковку.");
    }
    z.open = true;
    // zlib does not write through next_in; its API is simply not const-correct.
    z.stream.next_in = const_cast<Bytef*>(input.data());
    z.stream.avail_in = static_cast<uInt>(input.size());

    Bytes output;
    std::array<std::uint8_t, inflate_step> chunk{};
    for (;;) {
        z.stream.next_out = chunk.data();
        z.stream.avail_out = static_cast<uInt>(chunk.size());
        const int result = inflate(&z.stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            inflate_failure(L"Сжатый файл повреждён.");
        }
        const std::size_t produced = chunk.size() - z.stream.avail_out;
        if (output.size() + produced > max_output) {
            throw LauncherError("decompress_limit",
                                L"Распакованный файл превышает допустимый размер.");
        }
        output.insert(output.end(), chunk.begin(),
                      chunk.begin() + static_cast<std::ptrdiff_t>(produced));
        if (result == Z_STREAM_END) {
            break;
        }
        if (produced == 0 && z.stream.avail_in == 0) {
            inflate_failure(L"Сжатый файл загружен не полностью.");
        }
        if (produced == 0) {
            // Input left, room for output and still no progress: the stream is damaged.
            inflate_failure(L"Сжатый файл повреждён.");
        }
    }
    if (z.stream.avail_in > 0) {
        inflate_failure(L"После сжатого файла обнаружены лишние данные.");
    }
    return output;
}

}  // namespace vorn
