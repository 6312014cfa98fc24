// The least this machine needs for an update of the listed blobs: a bare WinHTTP download
// of every blob, one after another, the body read and thrown away, then one read-and-hash
// pass over the listed client files on one thread. update_bench.py sets the launcher's
// update against the sum of the two.
// Usage: floor_bench LIST_FILE, one UTF-8 line per blob: URL<TAB>CLIENT_FILE_PATH
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_system.h"
#include "core/io_block.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "net/http.h"
#include "net/winhttp_exchange.h"
#include "bench_clock.h"

namespace {

namespace fs = std::filesystem;
using namespace vorn;

constexpr std::uint64_t longest_list = 16 * 1048576;

struct Blob {
    std::wstring url;
    fs::path client_file;
};

using vorn::bench::now_seconds;

Blob parse_line(std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab == 0 || tab + 1 == line.size()) {
        throw std::runtime_error("list line is not URL<TAB>PATH: " + std::string(line));
    }
    return {to_utf16(line.substr(0, tab)), fs::path(to_utf16(line.substr(tab + 1)))};
}

std::vector<Blob> read_list(const fs::path& list) {
    const Bytes bytes = read_file_limited(list, longest_list);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::vector<Blob> blobs;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            blobs.push_back(parse_line(line));
        }
    }
    if (blobs.empty()) {
        throw std::runtime_error("the list names no blob");
    }
    return blobs;
}

// One blob as blob_download_bench's bare loop fetches it: the body read and thrown away.
std::uint64_t fetch_and_discard(const std::wstring& url, std::vector<std::uint8_t>& buffer) {
    HttpRequest request = make_request(url, UrlTrust::loopback_only, largest_single_download);
    request.deadline_ms = 7200000;
    WinHttpExchange exchange;
    exchange.send(request);
    if (exchange.status() != 200) {
        throw std::runtime_error("HTTP " + std::to_string(exchange.status()) + " for " +
                                 to_utf8(url));
    }
    std::uint64_t bytes = 0;
    while (const DWORD read = exchange.read(buffer.data(), network_read_size)) {
        bytes += read;
    }
    return bytes;
}

void require_success(NTSTATUS status, const char* call) {
    if (!BCRYPT_SUCCESS(status)) {
        throw std::runtime_error(std::string(call) + " failed");
    }
}

[[noreturn]] void file_failure(const char* call, const fs::path& path) {
    throw std::runtime_error(std::string(call) + " failed (" + std::to_string(GetLastError()) +
                             "): " + to_utf8(path.native()));
}

// One file as verify_bench's bare loop hashes it: 1 MiB reads into BCryptHashData.
std::uint64_t read_and_hash(BCRYPT_ALG_HANDLE algorithm, const fs::path& path,
                            std::vector<std::uint8_t>& buffer) {
    UniqueFile file(CreateFileW(long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        file_failure("CreateFileW", path);
    }
    UniqueBcryptHash hash;
    require_success(BCryptCreateHash(algorithm, hash.put(), nullptr, 0, nullptr, 0, 0),
                    "BCryptCreateHash");
    std::uint64_t bytes = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                      nullptr)) {
            file_failure("ReadFile", path);
        }
        if (read == 0) {
            break;
        }
        require_success(BCryptHashData(hash.get(), buffer.data(), read, 0), "BCryptHashData");
        bytes += read;
    }
    UCHAR digest[32];
    require_success(BCryptFinishHash(hash.get(), digest, sizeof(digest), 0), "BCryptFinishHash");
    return bytes;
}

struct Pass {
    double seconds = 0;
    std::uint64_t bytes = 0;
};

Pass download_pass(const std::vector<Blob>& blobs) {
    const double start = now_seconds();
    std::vector<std::uint8_t> buffer(network_read_size);
    Pass pass;
    for (const Blob& blob : blobs) {
        pass.bytes += fetch_and_discard(blob.url, buffer);
    }
    pass.seconds = now_seconds() - start;
    return pass;
}

Pass hash_pass(const std::vector<Blob>& blobs) {
    const double start = now_seconds();
    UniqueBcryptAlgorithm algorithm;
    require_success(
        BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0),
        "BCryptOpenAlgorithmProvider");
    std::vector<std::uint8_t> buffer(io_block_size);
    Pass pass;
    for (const Blob& blob : blobs) {
        pass.bytes += read_and_hash(algorithm.get(), blob.client_file, buffer);
    }
    pass.seconds = now_seconds() - start;
    return pass;
}

double megabytes_per_second(const Pass& pass) {
    return static_cast<double>(pass.bytes) / 1e6 / pass.seconds;
}

void print_floor(const Pass& download, const Pass& hashing, std::size_t count) {
    std::printf("floor download (bare WinHTTP, %zu blobs): %.2f s, %.1f MB/s\n", count,
                download.seconds, megabytes_per_second(download));
    std::printf("floor read-and-hash (one thread, %zu files): %.2f s, %.1f MB/s\n", count,
                hashing.seconds, megabytes_per_second(hashing));
    std::printf("floor seconds: %.3f\n", download.seconds + hashing.seconds);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor_bench LIST_FILE (lines URL<TAB>CLIENT_FILE_PATH)\n");
        return 2;
    }
    try {
        const std::vector<Blob> blobs = read_list(to_utf16(argv[1]));
        const Pass download = download_pass(blobs);
        const Pass hashing = hash_pass(blobs);
        // The client's files are the blobs with damage inside, never of another size.
        if (download.bytes != hashing.bytes) {
            throw std::runtime_error("downloaded " + std::to_string(download.bytes) +
                                     " bytes but hashed " + std::to_string(hashing.bytes));
        }
        print_floor(download, hashing, blobs.size());
        return 0;
    } catch (const LauncherError& error) {
        std::fprintf(stderr, "floor failed: stage %s: %s\n", error.stage.c_str(), error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "floor failed: %s\n", error.what());
        return 1;
    }
}
