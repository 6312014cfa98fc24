// Throughput and memory of the two archive rewrites: the guild icon rebuild of a 1 GiB
// surfaces.pck and the rebuild of a 3 GiB split archive from the player's copy plus a
// tail. The archives are made by one process and measured by a fresh one, so the peak
// working set is the operation's own. Usage:
//   archive_bench make-guild DIR | guild DIR | make-rebuild DIR | rebuild DIR
// The measuring modes print one JSON line of figures (MB = 10^6 bytes).
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive_rebuild.h"
#include "archive/pck_format.h"
#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "guild/guild_archive.h"
#include "support/pck_writer.h"
#include "bench_clock.h"

namespace {

namespace fs = std::filesystem;
using namespace vorn;
using test::PckWriterArchive;
using test::PckWriterEntry;

constexpr std::uint64_t mib = 1048576;
constexpr std::uint64_t guild_source_bytes = 1024 * mib;
constexpr std::size_t guild_members = 4000;
constexpr std::uint64_t rebuild_source_bytes = 3072 * mib;
constexpr std::size_t rebuild_members = 3000;
// Real bytes at the start of every generated member; the rest of it is a hole that reads
// as zeros, which a member stored as is (not deflated) holds as valid data.
constexpr std::uint64_t marked_bytes = 4096;
constexpr std::uint64_t index_record_bytes = 8 + pck_record_size;  // length prefix + record
constexpr std::size_t replaced_members = 5;
constexpr std::uint64_t replacement_bytes = 2 * mib;
constexpr std::uint64_t read_block = 1048576;

using vorn::bench::now_seconds;

double peak_working_set_mib() {
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    return static_cast<double>(memory.PeakWorkingSetSize) / static_cast<double>(mib);
}

// Deterministic bytes that differ per seed.
std::string pattern(std::uint64_t size, std::uint32_t seed) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Member sizes from a quarter to seven quarters of the mean, in pairs that sum to twice
// the mean, so that they add up to `total` exactly.
std::vector<std::uint64_t> member_sizes(std::uint64_t total, std::size_t count) {
    const std::uint64_t mean = total / count;
    std::vector<std::uint64_t> sizes;
    std::uint64_t used = 0;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        const std::uint64_t swing = mean * ((i / 2 * 7919) % 7) / 8;
        sizes.push_back(i % 2 == 0 ? mean + swing : mean - swing);
        used += sizes.back();
    }
    sizes.push_back(total - used);
    return sizes;
}

PckWriterEntry sparse_member(std::string name, std::uint64_t offset, std::uint64_t size) {
    PckWriterEntry entry;
    entry.name = std::move(name);
    entry.stored = pattern(std::min(size, marked_bytes), static_cast<std::uint32_t>(offset));
    entry.data_offset = offset;
    entry.uncompressed_field = static_cast<std::uint32_t>(size);
    entry.stored_field = static_cast<std::uint32_t>(size);
    return entry;
}

// `count` members one after another from the header on, in an archive of exactly `total`
// bytes with the first key pair.
PckWriterArchive sparse_archive(std::uint64_t total, std::size_t count, const char* folder) {
    PckWriterArchive archive;
    archive.keys = {pck_key_pair(0).key1, pck_key_pair(0).key2};
    archive.description = "archive bench";
    const std::uint64_t data =
        total - pck_header_size - pck_footer_size - count * index_record_bytes;
    std::uint64_t at = pck_header_size;
    const std::vector<std::uint64_t> sizes = member_sizes(data, count);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string name = std::string(folder) + "\\" + std::to_string(i / 100) + "\\m" +
                                 std::to_string(i) + ".dds";
        archive.entries.push_back(sparse_member(name, at, sizes[i]));
        at += sizes[i];
    }
    archive.index_offset = at;
    return archive;
}

void make_guild(const fs::path& dir) {
    PckWriterArchive archive = sparse_archive(guild_source_bytes, guild_members, "surfaces");
    // The icons the update replaces sit among the other members, as in the game's file.
    archive.entries[guild_members / 3].name = "surfaces\\iconset\\iconlist_guild.dds";
    archive.entries[guild_members / 3 + 1].name = "surfaces\\iconset\\iconlist_guild.txt";
    const test::PckImage image = test::build_pck(archive);
    test::write_sparse(dir / L"surfaces.pck", 0, image.size, image.parts);
}

// A replacement for `name` at `offset`, spelled in upper case (the identity is the same);
// the first one deflated, the others stored as is.
PckWriterEntry replacement(const std::string& name, std::uint64_t offset, std::size_t which) {
    PckWriterEntry entry;
    for (const char c : name) {
        entry.name.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    entry.compressed = which == 0;
    entry.content = entry.compressed
                        ? std::string(replacement_bytes, 'r')
                        : pattern(replacement_bytes, static_cast<std::uint32_t>(1000 + which));
    entry.stored = entry.compressed ? test::zlib_stream(entry.content) : entry.content;
    entry.data_offset = offset;
    return entry;
}

// The next version of `source`: a few members replaced and one added, their data from
// `tail_start` (the source's index) on.
PckWriterArchive next_archive(const PckWriterArchive& source, std::uint64_t tail_start) {
    PckWriterArchive next = source;
    std::uint64_t at = tail_start;
    for (std::size_t k = 0; k < replaced_members; ++k) {
        const std::size_t i = (2 * k + 1) * next.entries.size() / (2 * replaced_members);
        next.entries[i] = replacement(next.entries[i].name, at, k);
        at += next.entries[i].stored->size();
    }
    PckWriterEntry added{"models\\added\\new_member.bin", pattern(mib, 7)};
    added.data_offset = at;
    at += added.content.size();
    next.entries.push_back(added);
    next.index_offset = at;
    return next;
}

void make_rebuild(const fs::path& dir) {
    const PckWriterArchive source = sparse_archive(rebuild_source_bytes, rebuild_members, "models");
    const test::PckImage source_image = test::build_pck(source);
    test::write_pck_files(source_image, dir / L"source.pck", dir / L"source.pkx");
    const std::uint64_t tail_start = source_image.index_offset;
    const test::PckImage next = test::build_pck(next_archive(source, tail_start));
    test::write_sparse(dir / L"tail.bin", tail_start, next.size - tail_start, next.parts);
    std::ofstream(dir / L"tail_start.txt") << tail_start << "\n";
}

// Seconds of one plain pass of 1 MiB ReadFile calls over `paths`: the floor of any pass
// the operations make over the same bytes.
double read_pass_seconds(const std::vector<fs::path>& paths) {
    std::vector<std::uint8_t> block(read_block);
    const double start = now_seconds();
    for (const fs::path& path : paths) {
        UniqueFile file(CreateFileW(long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file) {
            throw LauncherError("bench_read", L"Не удалось открыть архив.", GetLastError());
        }
        DWORD got = 0;
        while (ReadFile(file.get(), block.data(), read_block, &got, nullptr) && got > 0) {
        }
    }
    return now_seconds() - start;
}

void write_all(HANDLE file, const std::uint8_t* data, DWORD size) {
    DWORD done = 0;
    if (!WriteFile(file, data, size, &done, nullptr) || done != size) {
        throw LauncherError("bench_copy", L"Не удалось записать копию.", GetLastError());
    }
}

// Seconds of a plain ReadFile/WriteFile copy of `path` to `copy` with the flush the
// rewrites also do: what Wine's file calls cost for one copy of the bytes.
double copy_pass_seconds(const fs::path& path, const fs::path& copy) {
    std::vector<std::uint8_t> block(read_block);
    const double start = now_seconds();
    {
        UniqueFile in(CreateFileW(long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        UniqueFile out(CreateFileW(long_path(copy).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!in || !out) {
            throw LauncherError("bench_copy", L"Не удалось открыть копию.", GetLastError());
        }
        DWORD got = 0;
        while (ReadFile(in.get(), block.data(), read_block, &got, nullptr) && got > 0) {
            write_all(out.get(), block.data(), got);
        }
        if (!FlushFileBuffers(out.get())) {
            throw LauncherError("bench_copy", L"Не удалось сбросить копию.", GetLastError());
        }
    }
    const double seconds = now_seconds() - start;
    DeleteFileW(long_path(copy).c_str());  // ours, only made to be timed
    return seconds;
}

double copy_pass_seconds(const std::vector<fs::path>& paths) {
    double seconds = 0;
    for (const fs::path& path : paths) {
        seconds += copy_pass_seconds(path, fs::path(path).concat(L".copy"));
    }
    return seconds;
}

double hash_pass_seconds(const std::vector<fs::path>& paths) {
    const double start = now_seconds();
    for (const fs::path& path : paths) {
        sha256_file(path);
    }
    return now_seconds() - start;
}

std::uint64_t total_size(const std::vector<fs::path>& paths) {
    std::uint64_t total = 0;
    for (const fs::path& path : paths) {
        total += fs::file_size(path);
    }
    return total;
}

struct Figures {
    const char* operation = "";
    std::uint64_t source_bytes = 0;
    std::uint64_t output_bytes = 0;
    double seconds = 0;
    double peak_before_mib = 0;
    double peak_after_mib = 0;
    double read_pass_seconds = 0;  // the source, once
    double hash_pass_seconds = 0;  // the output, once
    double copy_pass_seconds = 0;  // the source, read, written and flushed once
};

void print_figures(const Figures& f) {
    const double mb = static_cast<double>(f.source_bytes) / 1e6;
    const double out_mb = static_cast<double>(f.output_bytes) / 1e6;
    std::printf(
        "{\"operation\":\"%s\",\"source_bytes\":%llu,\"output_bytes\":%llu,\"seconds\":%.3f,"
        "\"mb_per_s\":%.1f,\"peak_ws_before_mib\":%.1f,\"peak_ws_after_mib\":%.1f,"
        "\"read_pass_mb_per_s\":%.1f,\"sha256_pass_mb_per_s\":%.1f,\"copy_pass_mb_per_s\":%.1f}\n",
        f.operation, static_cast<unsigned long long>(f.source_bytes),
        static_cast<unsigned long long>(f.output_bytes), f.seconds, mb / f.seconds,
        f.peak_before_mib, f.peak_after_mib, mb / f.read_pass_seconds, out_mb / f.hash_pass_seconds,
        mb / f.copy_pass_seconds);
}

// A 2048x2048 32-bit atlas behind the 128 bytes of a DDS header (its magic and the
// header's own size; the rest of the header is not read by the rebuild).
Bytes dds_atlas() {
    Bytes dds(128 + 2048 * 2048 * 4);
    const std::uint8_t header[] = {'D', 'D', 'S', ' ', 124, 0, 0, 0};
    std::copy(std::begin(header), std::end(header), dds.begin());
    for (std::size_t i = 128; i < dds.size(); ++i) {
        dds[i] = static_cast<std::uint8_t>((i * 31) ^ (i >> 13));
    }
    return dds;
}

Bytes icon_list() {
    std::string text = "2048\r\n2048\r\n64\r\n64\r\n";
    for (int i = 1; i <= 1024; ++i) {
        text += "1_" + std::to_string(i) + ".dds\r\n";
    }
    return Bytes(text.begin(), text.end());
}

void run_guild(const fs::path& dir) {
    const fs::path source = dir / L"surfaces.pck";
    const fs::path staged = dir / L"surfaces.staged.pck";
    const Bytes dds = dds_atlas();
    const Bytes text = icon_list();
    Figures f{};
    f.operation = "guild_archive";
    f.source_bytes = fs::file_size(source);
    f.peak_before_mib = peak_working_set_mib();
    const double start = now_seconds();
    build_guild_archive(source, staged, dds, text);
    f.seconds = now_seconds() - start;
    f.peak_after_mib = peak_working_set_mib();
    f.output_bytes = fs::file_size(staged);
    f.read_pass_seconds = read_pass_seconds({source});
    f.hash_pass_seconds = hash_pass_seconds({staged});
    f.copy_pass_seconds = copy_pass_seconds({source});
    print_figures(f);
}

void run_rebuild(const fs::path& dir) {
    const ArchivePaths source{dir / L"source.pck", dir / L"source.pkx"};
    const ArchivePaths output{dir / L"output.pck", dir / L"output.pkx"};
    std::uint64_t tail_start = 0;
    std::ifstream(dir / L"tail_start.txt") >> tail_start;
    Figures f{};
    f.operation = "rebuild_archive";
    f.source_bytes = total_size({source.pck, *source.pkx});
    f.peak_before_mib = peak_working_set_mib();
    const double start = now_seconds();
    const RebuildResult result = rebuild_archive(source, dir / L"tail.bin", tail_start, output);
    f.seconds = now_seconds() - start;
    f.peak_after_mib = peak_working_set_mib();
    if (result.members_from_tail != replaced_members + 1) {
        throw LauncherError("bench_members", L"Неожиданное число членов из хвоста.");
    }
    f.output_bytes = total_size({output.pck, *output.pkx});
    f.read_pass_seconds = read_pass_seconds({source.pck, *source.pkx});
    f.hash_pass_seconds = hash_pass_seconds({output.pck, *output.pkx});
    f.copy_pass_seconds = copy_pass_seconds({source.pck, *source.pkx});
    print_figures(f);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 3 ? argv[1] : "";
    try {
        const fs::path dir = to_utf16(argc == 3 ? argv[2] : "");
        if (mode == "make-guild") {
            make_guild(dir);
        } else if (mode == "guild") {
            run_guild(dir);
        } else if (mode == "make-rebuild") {
            make_rebuild(dir);
        } else if (mode == "rebuild") {
            run_rebuild(dir);
        } else {
            std::fprintf(stderr,
                         "usage: archive_bench make-guild|guild|make-rebuild|rebuild DIR\n");
            return 2;
        }
        return 0;
    } catch (const LauncherError& error) {
        std::fprintf(stderr, "%s failed: stage %s: %s\n", mode.c_str(), error.stage.c_str(),
                     error.what());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s failed: %s\n", mode.c_str(), error.what());
    }
    return 1;
}
