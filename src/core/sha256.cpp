#include "core/sha256.h"

#include <algorithm>
#include <array>
#include <memory>

#include "core/file_system.h"
#include "core/hex.h"
#include "core/io_block.h"
#include "core/launcher_error.h"
#include "core/read_block.h"

namespace vorn {
namespace {

bool failed(NTSTATUS status) {
    return status < 0;
}

[[noreturn]] void crypto_error(const wchar_t* message) {
    throw LauncherError("crypto", message);
}

// One provider for the process: opening it costs far more than hashing a small file, and
// an algorithm handle may be shared between threads (hash objects are not).
BCRYPT_ALG_HANDLE shared_provider() {
    static const UniqueBcryptAlgorithm provider = [] {
        UniqueBcryptAlgorithm opened;
        if (failed(
                BCryptOpenAlgorithmProvider(opened.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            crypto_error(L"Не удалось открыть SHA-256.");
        }
        return opened;
    }();
    return provider.get();
}

}  // namespace

Sha256::Sha256() {
    BCRYPT_ALG_HANDLE algorithm = shared_provider();
    DWORD object_length = 0;
    ULONG written = 0;
    if (failed(BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH,
                                 reinterpret_cast<PUCHAR>(&object_length), sizeof(object_length),
                                 &written, 0))) {
        crypto_error(L"Не удалось подготовить SHA-256.");
    }
    object_.resize(object_length);
    if (failed(BCryptCreateHash(algorithm, hash_.put(), object_.data(), object_length, nullptr, 0,
                                0))) {
        crypto_error(L"Не удалось создать SHA-256.");
    }
}

void Sha256::update(const void* data, std::size_t size) {
    auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const std::size_t slice = size < io_block_size ? size : io_block_size;
        if (failed(BCryptHashData(hash_.get(), const_cast<PUCHAR>(bytes), static_cast<ULONG>(slice),
                                  0))) {
            crypto_error(L"Ошибка вычисления SHA-256.");
        }
        bytes += slice;
        size -= slice;
    }
}

std::string Sha256::finish() {
    std::array<std::uint8_t, 32> digest{};
    if (failed(
            BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
        crypto_error(L"Не удалось завершить SHA-256.");
    }
    return to_hex(digest);
}

std::string sha256_bytes(ByteView bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.finish();
}

std::string sha256_string(std::string_view text) {
    Sha256 hash;
    hash.update(text.data(), text.size());
    return hash.finish();
}

std::uint64_t hash_open_file(HANDLE file, Sha256& hash,
                             const std::function<void(std::uint64_t done)>& progress,
                             HANDLE copy_to) {
    const ReadBlock buffer;  // hashing threads share kept blocks instead of mapping their own
    std::uint64_t done = 0;
    std::uint64_t last_report = GetTickCount64();
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.get(), static_cast<DWORD>(io_block_size), &read, nullptr)) {
            throw_win32_error("read_file", GetLastError());
        }
        if (read == 0) {
            return done;
        }
        hash.update(buffer.get(), read);
        if (copy_to != nullptr) {
            if (const DWORD error = write_whole(copy_to, buffer.get(), read)) {
                throw_win32_error("write_file", error);
            }
        }
        done += read;
        if (progress) {
            const std::uint64_t now = GetTickCount64();
            if (now - last_report >= hash_progress_interval_ms) {
                last_report = now;
                progress(done);
            }
        }
    }
}

namespace {

// Hashes `file` (of `total` bytes) from its start, copying it to `copy_to` when given, with
// the progress sha256_file promises.
std::string hash_with_progress(HANDLE file, std::uint64_t total, const HashProgress& progress,
                               HANDLE copy_to) {
    if (progress) {
        progress(0, total);
    }
    Sha256 hash;
    // Progress while reading stops short of the total: the end is reported once, below.
    std::function<void(std::uint64_t)> reading;
    if (progress) {
        reading = [&](std::uint64_t done) {
            if (done < total) {
                progress(done, total);
            }
        };
    }
    const std::uint64_t done = hash_open_file(file, hash, reading, copy_to);
    std::string digest = hash.finish();
    if (progress) {
        progress(done, total);
    }
    return digest;
}

}  // namespace

std::string sha256_file(const std::filesystem::path& path, const HashProgress& progress) {
    std::uint64_t total = 0;
    const UniqueFile file = open_plain_file(path, FILE_FLAG_SEQUENTIAL_SCAN,
                                            L"Файл клиента является ссылкой или папкой.", total);
    return hash_with_progress(file.get(), total, progress, nullptr);
}

std::string copy_file_hashed(const std::filesystem::path& source,
                             const std::filesystem::path& target, const HashProgress& progress) {
    std::uint64_t total = 0;
    const UniqueFile from = open_plain_file(source, FILE_FLAG_SEQUENTIAL_SCAN,
                                            L"Файл клиента является ссылкой или папкой.", total);
    UniqueFile to(CreateFileW(long_path(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!to) {
        throw_win32_error("write_file", GetLastError());
    }
    try {
        std::string digest = hash_with_progress(from.get(), total, progress, to.get());
        if (!FlushFileBuffers(to.get())) {
            throw_win32_error("write_file", GetLastError());
        }
        return digest;
    } catch (...) {
        to.reset();
        DeleteFileW(long_path(target).c_str());  // ours, created above, never complete
        throw;
    }
}

}  // namespace vorn
