// Full verification of a generated client against the bare ReadFile + BCryptHashData loop
// over the same files, then the start-up check with a valid receipt against a loopback
// server. Usage: verify_bench WORK_DIR FEED_DIR FEED_URL [TOTAL_MIB] [FILES]
#include <windows.h>
#include <bcrypt.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "core/file_system.h"
#include "core/io_block.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/text.h"
#include "engine/actions/action_manifest.h"
#include "engine/actions/engine_actions.h"
#include "engine/client/ordered_hashing.h"
#include "engine/client/update_engine.h"
#include "engine/manifest/installed_receipt.h"
#include "engine/manifest/manifest_fetch.h"
#include "engine/update/verification.h"
#include "net/feed_trust.h"
#include "net/winhttp_transport.h"
#include "support/signed_seed.h"

namespace {

namespace fs = std::filesystem;
using namespace vorn;

constexpr std::uint64_t mib = 1048576;

using vorn::bench::now_seconds;

// Sizes from 1 KiB up, a few large archives of up to 512 MiB, `total` bytes in all.
std::vector<std::uint64_t> client_sizes(std::uint64_t total, std::size_t count) {
    std::vector<std::uint64_t> sizes;
    const std::uint64_t large[] = {512 * mib, 384 * mib, 256 * mib, 128 * mib, 64 * mib};
    std::uint64_t left = total;
    for (const std::uint64_t size : large) {
        if (sizes.size() + 1 < count && size * 2 <= left) {
            sizes.push_back(size);
            left -= size;
        }
    }
    while (sizes.size() + 1 < count) {
        const std::uint64_t size = std::min<std::uint64_t>(1024ull << (sizes.size() % 11), left);
        sizes.push_back(std::max<std::uint64_t>(size, 1));
        left -= sizes.back();
    }
    sizes.push_back(std::min<std::uint64_t>(left, 512 * mib));
    return sizes;
}

Manifest generate_client(const fs::path& root, std::uint64_t total, std::size_t count) {
    Manifest manifest;
    manifest.version = "bench";
    std::vector<std::uint8_t> block(io_block_size);
    std::uint32_t state = 12345;
    for (auto& byte : block) {
        state = state * 1103515245 + 12345;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    const auto sizes = client_sizes(total, count);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string relative =
            "element/data/" + std::to_string(i / 100) + "/f" + std::to_string(i) + ".bin";
        const fs::path path = root / fs::path(relative).make_preferred();
        fs::create_directories(path.parent_path());
        UniqueFile file(CreateFileW(long_path(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        Sha256 hash;
        block[0] = static_cast<std::uint8_t>(i);  // every file differs
        for (std::uint64_t done = 0; done < sizes[i];) {
            const DWORD part =
                static_cast<DWORD>(std::min<std::uint64_t>(block.size(), sizes[i] - done));
            DWORD written = 0;
            WriteFile(file.get(), block.data(), part, &written, nullptr);
            hash.update(block.data(), part);
            done += part;
        }
        manifest.files.push_back({relative, hash.finish(), sizes[i], 0});
    }
    return manifest;
}

// The least the platform needs: open, read 1 MiB blocks, hash.
double bare_seconds(const fs::path& root, const Manifest& manifest) {
    const double start = now_seconds();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    std::vector<std::uint8_t> buffer(io_block_size);
    for (const ManifestFile& entry : manifest.files) {
        const fs::path path = root / fs::path(entry.path).make_preferred();
        UniqueFile file(CreateFileW(long_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        BCRYPT_HASH_HANDLE hash = nullptr;
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        DWORD read = 0;
        while (ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                        nullptr) &&
               read > 0) {
            BCryptHashData(hash, buffer.data(), read, 0);
        }
        UCHAR digest[32];
        BCryptFinishHash(hash, digest, sizeof(digest), 0);
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return now_seconds() - start;
}

LauncherConfig bench_config(const fs::path& work, const std::wstring& feed_url) {
    LauncherConfig config;
    config.root = (work / L"client").native();
    config.cache_dir = (work / L"service").native();
    config.local_test = true;
    config.endpoints.manifest_url = feed_url;
    config.endpoints.update_base_url = feed_url.substr(0, feed_url.rfind(L'/') + 1);
    return config;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// With a feed key the fast path is the same single HEAD: a receipt exists only for a
// manifest whose signature was checked.
void startup_figures(const fs::path& work, const fs::path& feed, const std::wstring& url,
                     const char* label, const std::vector<FeedKey>& keys = {}) {
    std::size_t views = 0;
    auto engine = std::make_unique<UpdateEngine>(
        bench_config(work, url), std::make_shared<WinHttpTransport>(),
        [&](const UiSnapshot&) { ++views; }, ReportFunction{});
    write_installed_receipt(engine->client, engine->state.view, load_manifest(*engine));
    engine->services.config.feed_keys =
        keys;  // the bench's manifest is unsigned: keys from here on
    std::vector<double> runs;
    for (int i = 0; i < 21; ++i) {
        const double start = now_seconds();
        const UiSnapshot view = run_engine_action(*engine, Action::startup);
        runs.push_back(now_seconds() - start);
        if (view.phase != Phase::ready || view.detail != L"Новых обновлений нет.") {
            std::fprintf(stderr, "start-up did not take the fast path\n");
            std::exit(1);
        }
    }
    (void)feed;
    std::printf(
        "start-up check, valid receipt, one HEAD (%s): median %.1f ms, best %.1f ms "
        "(21 runs)\n",
        label, median(runs) * 1000.0, *std::min_element(runs.begin(), runs.end()) * 1000.0);
}

// What a signed feed adds to a manifest fetch: the GET of the signature document beside it,
// its check and the record of its sequence.
void signature_figures(const fs::path& work, const fs::path& feed, const std::wstring& url) {
    write_text_file_atomic(feed / L"seed.json", test::seed_document);
    write_text_file_atomic(feed / L"seed.json.sig", test::seed_signature);
    const std::wstring seed_url = url.substr(0, url.rfind(L'/') + 1) + L"seed.json";
    const FeedTrust trust{
        .keys = {test::seed_key()}, .state_dir = work / L"service", .client_key = "bench"};
    WinHttpTransport transport;
    std::vector<double> runs;
    for (int i = 0; i < 21; ++i) {
        const double start = now_seconds();
        require_signed_document(trust, transport, UrlTrust::loopback_only, seed_url,
                                SignedKind::manifest, test::bytes_of(test::seed_document));
        runs.push_back(now_seconds() - start);
    }
    std::printf(
        "signature check of a manifest (GET of the .sig, check, sequence record): "
        "median %.1f ms, best %.1f ms (21 runs)\n",
        median(runs) * 1000.0, *std::min_element(runs.begin(), runs.end()) * 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: verify_bench WORK_DIR FEED_DIR FEED_URL [TOTAL_MIB] [FILES]\n");
        return 2;
    }
    try {
        const fs::path work = to_utf16(argv[1]);
        const fs::path feed = to_utf16(argv[2]);
        const std::wstring url = to_utf16(argv[3]);
        const std::uint64_t total = (argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 2048) * mib;
        const std::size_t count = argc > 5 ? std::strtoull(argv[5], nullptr, 10) : 2000;
        const fs::path root = work / L"client";

        std::printf("generating %zu files, %.0f MiB...\n", count, static_cast<double>(total) / mib);
        const Manifest manifest = generate_client(root, total, count);
        std::size_t views = 0;
        UpdateEngine engine(
            bench_config(work, url), std::make_shared<WinHttpTransport>(),
            [&](const UiSnapshot&) { ++views; }, ReportFunction{});

        double bare = 1e9, verified = 1e9;
        std::size_t mismatches = 0;
        for (int round = 0; round < 2; ++round) {
            bare = std::min(bare, bare_seconds(root, manifest));
            const double start = now_seconds();
            mismatches = verify_client(engine.client, engine.state.view, manifest, {}).size();
            verified = std::min(verified, now_seconds() - start);
        }
        PROCESS_MEMORY_COUNTERS memory{};
        GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
        const double mb = static_cast<double>(total) / 1e6;
        std::printf("bare ReadFile + BCryptHashData: %.0f files/s, %.1f MB/s (%.2f s)\n",
                    static_cast<double>(count) / bare, mb / bare, bare);
        std::printf("verify_client: %.0f files/s, %.1f MB/s (%.2f s), %zu mismatches, %zu views\n",
                    static_cast<double>(count) / verified, mb / verified, verified, mismatches,
                    views);
        std::printf("ratio verify_client / bare: %.3f (%u cores, %zu hashing threads)\n",
                    bare / verified, std::thread::hardware_concurrency(), hashing_threads());
        std::printf("peak working set: %.1f MiB\n",
                    static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0);

        // The start-up check, without and with an updater component to hash.
        write_json_file(
            feed / L"manifest.json",
            nlohmann::json{{"version", "bench"},
                           {"files", nlohmann::json::array({{{"path", "element/a.bin"},
                                                             {"sha256", manifest.files[0].sha256},
                                                             {"size", manifest.files[0].size}}})}});
        fs::create_directories(root / L"element");
        write_file_atomic(root / L"element" / L"elementclient.exe", Bytes{1, 2, 3});
        startup_figures(work, feed, url, "no updater");
        write_file_atomic(root / L"element" / L"VornellUpdater.exe", Bytes(2 * mib, 7));
        startup_figures(work, feed, url, "2 MiB updater present");
        startup_figures(work, feed, url, "feed key configured", {test::seed_key()});
        signature_figures(work, feed, url);
        return mismatches == 0 ? 0 : 1;
    } catch (const LauncherError& error) {
        std::fprintf(stderr, "failed: stage %s: %s\n", error.stage.c_str(), error.what());
        return 1;
    }
}
