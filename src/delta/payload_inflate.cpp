#include "delta/payload_inflate.h"

#include <memory>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/io_block.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "net/inflate_stream.h"

namespace vorn {
namespace {

constexpr std::uint64_t largest_payload = 536870912;

struct Progress {
    std::uint64_t read = 0;
    std::uint64_t produced = 0;
    bool ended = false;
};

// Inflates one block of input, writing and hashing what it produces.
void inflate_block(z_stream& stream, std::uint8_t* out, HANDLE output, Sha256& hash,
                   Sha256* written, const delta::Payload& expected, Progress& progress) {
    while (stream.avail_in > 0) {
        if (progress.ended) {
            fail_delta("delta_zlib_trailing");
        }
        stream.next_out = out;
        stream.avail_out = static_cast<uInt>(io_block_size);
        const uInt before_in = stream.avail_in;
        const int result = inflate(&stream, Z_NO_FLUSH);
        const std::size_t made = io_block_size - stream.avail_out;
        // Input remains in this loop, so a buffer error is as bad as a data error.
        if (result != Z_OK && result != Z_STREAM_END) {
            fail_delta("delta_zlib");
        }
        if (made == 0 && stream.avail_in == before_in && result != Z_STREAM_END) {
            fail_delta("delta_zlib");  // neither consumed nor produced anything
        }
        progress.produced += made;
        if (progress.produced > expected.raw.bytes) {
            fail_delta("delta_zlib_bound");
        }
        hash.update(out, made);
        if (written != nullptr) {
            written->update(out, made);
        }
        write_delta_bytes(output, out, made);
        progress.ended = result == Z_STREAM_END;
    }
}

}  // namespace

void inflate_payload(const DeltaReadFile& payload, HANDLE output, const delta::Payload& expected,
                     Sha256* written) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(payload.handle.get(), start, nullptr, FILE_BEGIN)) {
        fail_delta_io("delta_seek", GetLastError());
    }
    InflateStream decoder;
    if (!decoder.started()) {
        fail_delta("delta_zlib");
    }
    Sha256 hash;
    const auto in = std::make_unique<std::uint8_t[]>(io_block_size);
    const auto out = std::make_unique<std::uint8_t[]>(io_block_size);
    Progress progress;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(payload.handle.get(), in.get(), static_cast<DWORD>(io_block_size), &read,
                      nullptr)) {
            fail_delta_io("delta_read", GetLastError());
        }
        if (read == 0) {
            break;
        }
        progress.read += read;
        decoder.get().next_in = in.get();
        decoder.get().avail_in = read;
        inflate_block(decoder.get(), out.get(), output, hash, written, expected, progress);
    }
    if (progress.read != expected.compressed.bytes || !progress.ended ||
        progress.produced != expected.raw.bytes || hash.finish() != expected.raw.sha256) {
        fail_delta("delta_raw_integrity");
    }
}

void inflate_to_file(const std::filesystem::path& payload_file, const std::filesystem::path& output,
                     const delta::Payload& expected) {
    if (!is_sha256_hex(expected.compressed.sha256) || !is_sha256_hex(expected.raw.sha256) ||
        expected.compressed.bytes > largest_payload) {
        fail_delta("delta_payload_contract");
    }
    if (file_attributes(output) != INVALID_FILE_ATTRIBUTES) {
        throw LauncherError("delta_payload_output_exists",
                            L"Служебный файл распаковки уже существует. Файл сохранён.");
    }
    if (const DWORD error = GetLastError(); !is_not_found(error)) {
        fail_delta_io("delta_payload_output", error);
    }
    const DeltaReadFile payload = open_delta_file(payload_file);
    if (hash_delta_file(payload, {}, {}) != expected.compressed) {
        fail_delta("delta_compressed_integrity");
    }
    UniqueFile file(CreateFileW(long_path(output).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        fail_delta_io("delta_stage", GetLastError());
    }
    try {
        inflate_payload(payload, file.get(), expected);
        if (!FlushFileBuffers(file.get())) {
            fail_delta_io("delta_flush", GetLastError());
        }
    } catch (...) {
        file.reset();
        DeleteFileW(long_path(output).c_str());  // ours, just created, never complete
        throw;
    }
}

}  // namespace vorn
