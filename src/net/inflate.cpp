#include "net/inflate.h"

#include <zlib.h>

#include <array>
#include <memory>

#include "core/file_system.h"
#include "core/io_block.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/unique_handle.h"

namespace vorn {
namespace {

constexpr std::size_t inflate_step = 65536;

[[noreturn]] void inflate_failure(const wchar_t* message) {
    throw LauncherError("decompress_patch", message);
}

UniqueFile open_file(const std::filesystem::path& path, DWORD access, DWORD disposition,
                     const char* stage) {
    UniqueFile file(CreateFileW(long_path(path).c_str(), access,
                                access == GENERIC_READ ? FILE_SHARE_READ : 0, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        throw_win32_error(stage, GetLastError());
    }
    return file;
}

void write_all(HANDLE file, const std::uint8_t* data, std::size_t size) {
    if (const DWORD error = write_whole(file, data, static_cast<DWORD>(size))) {
        throw_win32_error("file_write", error);
    }
}

InflatedFile inflate_between(HANDLE source, HANDLE target, std::uint64_t max_output, bool gzip) {
    StreamInflater inflater(gzip, max_output);
    Sha256 hash;
    const auto block = std::make_unique<std::uint8_t[]>(io_block_size);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source, block.get(), static_cast<DWORD>(io_block_size), &read, nullptr)) {
            throw_win32_error("file_read", GetLastError());
        }
        if (read == 0) {
            break;
        }
        inflater.feed(ByteView(block.get(), read), [&](const std::uint8_t* data, std::size_t size) {
            hash.update(data, size);
            write_all(target, data, size);
        });
    }
    inflater.finish();
    if (!FlushFileBuffers(target)) {
        throw_win32_error("file_write", GetLastError());
    }
    return {inflater.produced(), hash.finish()};
}

}  // namespace

StreamInflater::StreamInflater(bool gzip, std::uint64_t max_output)
    : decoder_(gzip), max_output_(max_output) {
    if (!decoder_.started()) {
        inflate_failure(L"Не удалось подготовить распаковку.");
    }
}

void StreamInflater::feed(ByteView input, const Sink& sink) {
    if (input.empty()) {
        return;
    }
    if (ended_) {
        inflate_failure(L"После сжатого файла обнаружены лишние данные.");
    }
    z_stream& stream = decoder_.get();
    // zlib does not write through next_in; its API is simply not const-correct.
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    std::array<std::uint8_t, inflate_step> chunk{};
    for (;;) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            inflate_failure(L"Сжатый файл повреждён.");
        }
        const std::size_t made = chunk.size() - stream.avail_out;
        if (produced_ + made > max_output_) {
            throw LauncherError("decompress_limit",
                                L"Распакованный файл превышает допустимый размер.");
        }
        produced_ += made;
        sink(chunk.data(), made);
        if (result == Z_STREAM_END) {
            ended_ = true;
            if (stream.avail_in > 0) {
                inflate_failure(L"После сжатого файла обнаружены лишние данные.");
            }
            return;
        }
        if (stream.avail_in == 0 && stream.avail_out != 0) {
            return;  // all of this piece taken: the rest of the stream comes with the next
        }
        if (made == 0) {
            // Input left, room for output and still no progress: the stream is damaged.
            inflate_failure(L"Сжатый файл повреждён.");
        }
    }
}

void StreamInflater::finish() const {
    if (!ended_) {
        inflate_failure(L"Сжатый файл загружен не полностью.");
    }
}

Bytes inflate_bytes(ByteView input, std::uint64_t max_output, bool gzip) {
    if (input.size() > 0xffffffffull) {
        inflate_failure(L"Сжатый файл слишком велик.");
    }
    StreamInflater inflater(gzip, max_output);
    Bytes output;
    inflater.feed(input, [&](const std::uint8_t* data, std::size_t size) {
        output.insert(output.end(), data, data + size);
    });
    inflater.finish();
    return output;
}

InflatedFile inflate_file(const std::filesystem::path& source, const std::filesystem::path& target,
                          std::uint64_t max_output, bool gzip) {
    const UniqueFile input = open_file(source, GENERIC_READ, OPEN_EXISTING, "file_read");
    UniqueFile output = open_file(target, GENERIC_WRITE, CREATE_NEW, "file_write");
    try {
        return inflate_between(input.get(), output.get(), max_output, gzip);
    } catch (...) {
        output.reset();
        DeleteFileW(long_path(target).c_str());  // ours, just created, never complete
        throw;
    }
}

}  // namespace vorn
