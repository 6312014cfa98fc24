#include "net/inflate.h"

#include <zlib.h>

#include <array>

#include "core/launcher_error.h"
#include "net/inflate_stream.h"

namespace vorn {
namespace {

constexpr std::size_t inflate_step = 65536;

[[noreturn]] void inflate_failure(const wchar_t* message) {
    throw LauncherError("decompress_patch", message);
}

}  // namespace

Bytes inflate_bytes(ByteView input, std::uint64_t max_output, bool gzip) {
    if (input.size() > 0xffffffffull) {
        inflate_failure(L"Сжатый файл слишком велик.");
    }
    InflateStream decoder(gzip);
    if (!decoder.started()) {
        inflate_failure(L"Не удалось подготовить распаковку.");
    }
    z_stream& stream = decoder.get();
    // zlib does not write through next_in; its API is simply not const-correct.
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());

    Bytes output;
    std::array<std::uint8_t, inflate_step> chunk{};
    for (;;) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            inflate_failure(L"Сжатый файл повреждён.");
        }
        const std::size_t produced = chunk.size() - stream.avail_out;
        if (output.size() + produced > max_output) {
            throw LauncherError("decompress_limit",
                                L"Распакованный файл превышает допустимый размер.");
        }
        output.insert(output.end(), chunk.begin(),
                      chunk.begin() + static_cast<std::ptrdiff_t>(produced));
        if (result == Z_STREAM_END) {
            break;
        }
        if (produced == 0 && stream.avail_in == 0) {
            inflate_failure(L"Сжатый файл загружен не полностью.");
        }
        if (produced == 0) {
            // Input left, room for output and still no progress: the stream is damaged.
            inflate_failure(L"Сжатый файл повреждён.");
        }
    }
    if (stream.avail_in > 0) {
        inflate_failure(L"После сжатого файла обнаружены лишние данные.");
    }
    return output;
}

}  // namespace vorn
