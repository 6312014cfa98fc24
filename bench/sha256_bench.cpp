// Compares sha256_file with a bare ReadFile + BCryptHashData loop over the same file.
// Usage: sha256_bench [FILE [SIZE_MIB]]; without FILE a temporary file of SIZE_MIB
// (default 1024) is written first and removed afterwards.
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/file_system.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "core/unique_handle.h"

namespace {

using namespace vorn;

constexpr DWORD block = 1048576;

double seconds_since(LARGE_INTEGER start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

void make_file(const std::filesystem::path& path, std::uint64_t size) {
    UniqueFile file(CreateFileW(long_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw_win32_error("bench_write", GetLastError());
    }
    std::vector<std::uint8_t> buffer(block);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 8));
    }
    for (std::uint64_t done = 0; done < size; done += block) {
        buffer[0] = static_cast<std::uint8_t>(done >> 20);  // blocks differ
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.data(), block, &written, nullptr) || written != block) {
            throw_win32_error("bench_write", GetLastError());
        }
    }
}

std::string bare_loop(const std::filesystem::path& path) {
    UniqueFile file(CreateFileW(long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        throw_win32_error("bench_read", GetLastError());
    }
    Sha256 hash;
    std::vector<std::uint8_t> buffer(block);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), block, &read, nullptr)) {
            throw_win32_error("bench_read", GetLastError());
        }
        if (read == 0) {
            break;
        }
        hash.update(buffer.data(), read);
    }
    return hash.finish();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::filesystem::path path;
        bool temporary = false;
        std::uint64_t size_mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
        if (argc > 1) {
            path = to_utf16(argv[1]);
        } else {
            path = std::filesystem::temp_directory_path() /
                   (L"vorn-sha-bench-" + to_utf16(random_hex(4)));
            temporary = true;
            std::printf("writing %llu MiB to %s\n", static_cast<unsigned long long>(size_mib),
                        to_utf8(path.native()).c_str());
            make_file(path, size_mib * block);
        }
        const double mb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;

        // Warm the page cache once so both runs read from memory.
        bare_loop(path);
        std::uint64_t reports = 0;
        double bare_best = 1e9, ours_best = 1e9;
        std::string bare_digest, ours_digest;
        for (int round = 0; round < 3; ++round) {
            LARGE_INTEGER start;
            QueryPerformanceCounter(&start);
            bare_digest = bare_loop(path);
            bare_best = std::min(bare_best, seconds_since(start));

            QueryPerformanceCounter(&start);
            ours_digest = sha256_file(path, [&](std::uint64_t, std::uint64_t) { ++reports; });
            ours_best = std::min(ours_best, seconds_since(start));
        }
        if (temporary) {
            DeleteFileW(long_path(path).c_str());
        }
        std::printf("file: %.0f MB, best of 3 rounds\n", mb);
        std::printf("bare ReadFile+BCryptHashData: %.1f MB/s\n", mb / bare_best);
        std::printf("sha256_file (with progress):  %.1f MB/s (%llu progress calls)\n",
                    mb / ours_best, static_cast<unsigned long long>(reports));
        std::printf("ratio sha256_file / bare: %.3f\n", bare_best / ours_best);
        std::printf("digests %s\n", bare_digest == ours_digest ? "match" : "DIFFER");
        return bare_digest == ours_digest ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 2;
    }
}
