#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "core/file_system.h"
#include "core/sha256.h"
#include "core/unique_handle.h"
#include "net/blob_cache.h"
#include "net/winhttp_transport.h"
#include "support/launcher_error_assert.h"
#include "support/loopback_control.h"
#include "support/loopback_request.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t blob_size = 300000;

using test::names_in;

// One blob served under a fresh prefix, and a cache folder to download it into.
struct BlobCase {
    const test::LoopbackServer& server;
    std::string prefix = test::LoopbackServer::new_prefix();
    test::ScopedTempDir cache;
    Bytes content = test::pattern_bytes(blob_size);
    std::string sha = sha256_bytes(content);
    fs::path blob = cache / L"blobs\\payload.zlib";

    explicit BlobCase(const test::LoopbackServer& s) : server(s) {}

    HttpRequest request() const {
        HttpRequest r = test::loopback_request(server, prefix + "blob", blob_size);
        r.deadline_ms = 7200000;
        return r;
    }
    void serve(const json& answers) const { server.answer(prefix + "blob", answers); }
    void download(int attempts = 3) const {
        WinHttpTransport transport;
        download_blob_cached(transport, request(), blob, blob_size, sha, attempts);
    }
    std::size_t requests() const { return server.requests(prefix).size(); }
};

const json good_blob = {{"body_size", blob_size}};

TEST(BlobCache, DownloadsVerifiesAndPublishesLeavingOnlyBlobAndLock) {
    VORN_REQUIRE_LOOPBACK(server);
    BlobCase c(server);
    c.serve(json::array({good_blob}));
    c.download();
    EXPECT_EQ(read_file_limited(c.blob, blob_size), c.content);
    EXPECT_EQ(names_in(c.blob.parent_path()),
              (std::vector<std::wstring>{L"payload.zlib", L"payload.zlib.download.lock"}));

    // A second call is a cache hit: no request at all.
    c.download();
    EXPECT_EQ(c.requests(), 1u);
}

TEST(BlobCache, DamagedOrUnsafeCachedBlobIsRefusedAndLeftInPlace) {
    VORN_REQUIRE_LOOPBACK(server);
    BlobCase c(server);
    c.serve(json::array({good_blob}));
    Bytes damaged = c.content;
    damaged[1000] ^= 1;
    write_file_atomic(c.blob, damaged);
    VORN_EXPECT_ERROR(c.download(), "delta_cache_conflict",
                      L"Существующий блок кэша повреждён. Повторите обновление.");
    EXPECT_EQ(read_file_limited(c.blob, blob_size), damaged);

    write_file_atomic(c.blob, Bytes(c.content.begin(), c.content.begin() + 10));
    VORN_EXPECT_ERROR(c.download(), "delta_cache_conflict",
                      L"Существующий блок кэша повреждён. Повторите обновление.");

    fs::remove(c.blob);
    fs::create_directories(c.blob);
    VORN_EXPECT_ERROR(c.download(), "delta_cache_conflict",
                      L"Кэш дельты является ссылкой или папкой.");
    EXPECT_EQ(c.requests(), 0u);
}

TEST(BlobCache, SweepDeletesOnlyOurOwnPartialFiles) {
    VORN_REQUIRE_LOOPBACK(server);
    BlobCase c(server);
    c.serve(json::array({good_blob}));
    const fs::path dir = c.blob.parent_path();
    const std::string small(100, 'x');
    test::write_raw_file(dir / L"payload.zlib.0123456789abcdef.part", small);  // ours
    // The file system ignores case, so the upper-case name must differ in more than case.
    test::write_raw_file(dir / L"payload.zlib.1111111111ABCDEF.part", small);   // upper case
    test::write_raw_file(dir / L"payload.zlib.0123456789abcde.part", small);    // 15 digits
    test::write_raw_file(dir / L"payload.zlib.0123456789abcdef0.part", small);  // 17 digits
    test::write_raw_file(dir / L"payload.zlib.fedcba9876543210.part",
                         std::string(blob_size + 1, 'x'));                   // too large
    fs::create_directories(dir / L"payload.zlib.aaaaaaaaaaaaaaaa.part");     // a folder
    test::write_raw_file(dir / L"other.zlib.0123456789abcdef.part", small);  // other blob

    c.download();
    EXPECT_EQ(names_in(dir), (std::vector<std::wstring>{
                                 L"other.zlib.0123456789abcdef.part",
                                 L"payload.zlib",
                                 L"payload.zlib.0123456789abcde.part",
                                 L"payload.zlib.0123456789abcdef0.part",
                                 L"payload.zlib.1111111111ABCDEF.part",
                                 L"payload.zlib.aaaaaaaaaaaaaaaa.part",
                                 L"payload.zlib.download.lock",
                                 L"payload.zlib.fedcba9876543210.part",
                             }));
}

TEST(BlobCache, TooManyPartialFilesStopTheSweep) {
    VORN_REQUIRE_LOOPBACK(server);
    BlobCase c(server);
    c.serve(json::array({good_blob}));
    const fs::path dir = c.blob.parent_path();
    ensure_service_directory(dir);
    // Names the sweep counts but never deletes (upper-case digits), then one more.
    for (std::size_t i = 0; i < most_partial_files; ++i) {
        wchar_t name[64];
        std::swprintf(name, 64, L"payload.zlib.%016zX.part", i + 0xA000000000000000ull);
        test::write_raw_file(dir / name, "");
    }
    test::write_raw_file(dir / L"payload.zlib.0000000000000000.part", "");  // ours: deletable
    VORN_EXPECT_ERROR(c.download(), "delta_cache_limit",
                      L"Слишком много прерванных загрузок в кэше.");
    EXPECT_EQ(c.requests(), 0u);

    fs::remove(dir / L"payload.zlib.A000000000000000.part");
    c.download();  // 4,096 entries: the sweep finishes and the download goes ahead
    EXPECT_FALSE(fs::exists(dir / L"payload.zlib.0000000000000000.part"));
    EXPECT_EQ(names_in(dir).size(), most_partial_files + 1);  // kept ones, blob and lock
}

TEST(BlobCache, LockHeldByAnotherLauncherFailsFast) {
    VORN_REQUIRE_LOOPBACK(server);
    BlobCase c(server);
    c.serve(json::array({good_blob}));
    ensure_service_directory(c.blob.parent_path());
    fs::path lock = c.blob;
    lock += L".download.lock";
    {
        UniqueFile holder(CreateFileW(long_path(lock).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        const auto error = test::capture_error([&] { c.download(); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->stage, "delta_cache_locked") << test::describe(*error);
        EXPECT_EQ(error->win32, static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(c.requests(), 0u);
    }
    c.download();  // released: the download goes ahead
    EXPECT_TRUE(is_plain_file(c.blob));

    BlobCase d(server);
    ensure_service_directory(d.blob.parent_path());
    fs::path dir_lock = d.blob;
    dir_lock += L".download.lock";
    fs::create_directories(dir_lock);
    VORN_EXPECT_ERROR(d.download(), "delta_cache_conflict",
                      L"Небезопасный файл блокировки загрузки.");
}

TEST(BlobCache, OneByteTooManyIsRefusedBeforeItIsWritten) {
    VORN_REQUIRE_LOOPBACK(server);
    BlobCase c(server);
    c.serve(json::array({{{"body_size", blob_size + 1}, {"content_length", nullptr}}}));
    const fs::path part = c.cache / L"direct.part";
    FileDownload download{.path = part, .size = blob_size};
    const auto error = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().download_file(response, c.request(), download);
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "delta_blob_length");
    EXPECT_EQ(error->message, L"Блок дельты превышает объявленный размер.");
    ASSERT_TRUE(fs::exists(part));
    EXPECT_LE(fs::file_size(part), blob_size);
    // What the file holds is what a next exchange continues after; the error counts what
    // the network delivered.
    EXPECT_EQ(download.held, fs::file_size(part));
    EXPECT_EQ(error->bytes, download.received);
    EXPECT_GE(download.received, download.held);

    // Through the cache: nothing is left behind but the lock.
    c.serve(json::array({{{"body_size", blob_size + 1}, {"content_length", nullptr}}}));
    VORN_EXPECT_ERROR(c.download(), "delta_blob_length");
    EXPECT_EQ(names_in(c.blob.parent_path()),
              std::vector<std::wstring>{L"payload.zlib.download.lock"});
}

TEST(BlobCache, TransientFailureThenSuccessLeavesNoPartialFile) {
    VORN_REQUIRE_LOOPBACK(server);
    BlobCase c(server);
    c.serve(json::array({{{"status", 503}}, good_blob}));
    c.download();
    EXPECT_EQ(read_file_limited(c.blob, blob_size), c.content);
    EXPECT_EQ(names_in(c.blob.parent_path()),
              (std::vector<std::wstring>{L"payload.zlib", L"payload.zlib.download.lock"}));
    const json seen = server.requests(c.prefix);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_GE((seen[1]["time"].get<double>() - seen[0]["time"].get<double>()) * 1000, 95);

    BlobCase cut(server);
    cut.serve(json::array({{{"body_size", blob_size}, {"truncate_after", 1000}}, good_blob}));
    cut.download();
    EXPECT_EQ(cut.requests(), 2u);
}

TEST(BlobCache, WrongAnswersAreRefusedWithTheirRecords) {
    VORN_REQUIRE_LOOPBACK(server);
    struct Case {
        json answer;
        const char* stage;
        std::wstring message;
    };
    const Case cases[] = {
        {{{"body_size", blob_size},
          {"content_length", blob_size + 1},
          {"truncate_after", blob_size}},
         "delta_blob_length",
         L"Сервер прислал неверный размер блока дельты."},
        {{{"body_size", blob_size}, {"headers", {{"Content-Encoding", "gzip"}}}},
         "content_encoding",
         L"Сервер изменил формат блока дельты."},
        {{{"body_size", blob_size}, {"truncate_after", blob_size - 1}},
         "truncated_body",
         L"Блок дельты загружен не полностью."},
        {{{"body_size", blob_size - 1}},
         "delta_blob_length",
         L"Сервер прислал неверный размер блока дельты."},
        {{{"body_text", std::string(blob_size, 'z')}},
         "delta_blob_integrity",
         L"Загруженный блок дельты не прошёл проверку."},
        {{{"status", 404}}, "http_status", L"Сервер обновлений вернул ошибку HTTP."},
        {{{"status", 204}}, "http_status", L"Сервер обновлений вернул ошибку HTTP."},
        // The status is judged before a malformed length.
        {{{"status", 404}, {"content_length", "12x"}},
         "http_status",
         L"Сервер обновлений вернул ошибку HTTP."},
        {{{"status", 200}, {"body_size", 10}, {"content_length", "12x"}},
         "content_length",
         L"Сервер прислал неверную длину ответа."},
    };
    for (const Case& k : cases) {
        BlobCase c(server);
        json answer = k.answer;
        answer["repeat"] = 3;
        c.serve(json::array({answer}));
        const auto error = test::capture_error([&] { c.download(); });
        ASSERT_TRUE(error) << k.stage;
        EXPECT_EQ(error->stage, k.stage) << test::describe(*error);
        EXPECT_EQ(error->message, k.message) << k.stage;
        ASSERT_FALSE(error->attempts.empty());
        EXPECT_EQ(error->attempts.back()["expected_bytes"], blob_size);
        EXPECT_EQ(error->attempts.size(), c.requests()) << k.stage;
        EXPECT_EQ(names_in(c.blob.parent_path()),
                  std::vector<std::wstring>{L"payload.zlib.download.lock"})
            << k.stage;
    }
}

constexpr std::uint64_t cut_at = 100000;

// The first `cut_at` bytes under a validator, then the connection breaks.
json cut_answer(const std::string& etag = "\"v1\"") {
    return {{"body_size", blob_size}, {"truncate_after", cut_at}, {"headers", {{"ETag", etag}}}};
}

// The rest of the blob from `from`, as a 206 answer under `etag` says it.
json rest_answer(std::uint64_t from, const std::string& range, const std::string& etag = "\"v1\"") {
    return {{"status", 206},
            {"body_size", blob_size - from},
            {"body_offset", from},
            {"headers", {{"ETag", etag}, {"Content-Range", range}}}};
}

const std::string good_range = "bytes 100000-299999/300000";

// A broken download continues from its bytes when the server proves they are the same
// file; any other answer to the range request starts the file over from byte 0.
TEST(BlobCache, ABrokenDownloadContinuesOnlyUnderTheSameValidator) {
    VORN_REQUIRE_LOOPBACK(server);
    struct Row {
        const char* name;
        json second;           // the answer to the range request
        std::size_t requests;  // a refused range costs one more, from byte 0
    };
    const Row rows[] = {
        {"continued", rest_answer(cut_at, good_range), 2},
        {"whole again", good_blob, 2},
        {"other start", rest_answer(cut_at, "bytes 99999-299999/300000"), 3},
        {"other total", rest_answer(cut_at, "bytes 100000-299999/300001"), 3},
        {"other validator", rest_answer(cut_at, good_range, "\"v2\""), 3},
        {"no range", rest_answer(cut_at, "none"), 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BlobCase c(server);
        c.serve(json::array({cut_answer(), row.second, good_blob}));
        c.download(2);  // the break gained bytes: only a refused range uses up an attempt
        EXPECT_EQ(read_file_limited(c.blob, blob_size), c.content);
        const json seen = server.requests(c.prefix);
        ASSERT_EQ(seen.size(), row.requests);
        EXPECT_FALSE(seen[0]["headers"].contains("range"));
        EXPECT_EQ(seen[1]["headers"]["range"], "bytes=100000-");
        EXPECT_EQ(seen[1]["headers"]["if-range"], "\"v1\"");
        // A refused range is followed by a request from byte 0.
        EXPECT_EQ(seen.back()["headers"].contains("range"), row.requests == 2);
        EXPECT_EQ(names_in(c.blob.parent_path()),
                  (std::vector<std::wstring>{L"payload.zlib", L"payload.zlib.download.lock"}));
    }
}

// A run that gives up on a broken link leaves its partial, noted in the lock file, for the
// next run to continue; one left days ago is swept and the blob fetched whole.
TEST(BlobCache, APartialOutlivesTheRunThatLeftItForAFewDays) {
    VORN_REQUIRE_LOOPBACK(server);
    for (const bool old : {false, true}) {
        SCOPED_TRACE(old);
        BlobCase c(server);
        c.serve(json::array({cut_answer(), {{"status", 503}}}));
        VORN_EXPECT_ERROR(c.download(1), "http_status");
        const std::vector<std::wstring> left = names_in(c.blob.parent_path());
        ASSERT_EQ(left.size(), 2u);  // the lock and the partial
        const fs::path part =
            c.blob.parent_path() / (left[0].ends_with(L".part") ? left[0] : left[1]);
        EXPECT_EQ(fs::file_size(part), cut_at);
        if (old) {
            const UniqueFile file(CreateFileW(part.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
            FILETIME now{};
            GetSystemTimeAsFileTime(&now);
            ULARGE_INTEGER then{};
            then.LowPart = now.dwLowDateTime;
            then.HighPart = now.dwHighDateTime;
            then.QuadPart -= 4ull * 24 * 3600 * 10000000;  // four days ago
            const FILETIME written{then.LowPart, then.HighPart};
            ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written));
        }
        c.serve(json::array({old ? good_blob : rest_answer(cut_at, good_range)}));
        c.download(1);
        EXPECT_EQ(read_file_limited(c.blob, blob_size), c.content);
        const json seen = server.requests(c.prefix);
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[2]["headers"].contains("range"), !old);
        EXPECT_EQ(names_in(c.blob.parent_path()),
                  (std::vector<std::wstring>{L"payload.zlib", L"payload.zlib.download.lock"}));
    }
}

TEST(BlobCache, ContractIsCheckedBeforeAnything) {
    VORN_REQUIRE_LOOPBACK(server);
    BlobCase c(server);
    WinHttpTransport transport;
    const std::wstring contract = L"Неверное описание блока дельты.";
    VORN_EXPECT_ERROR(download_blob_cached(transport, c.request(), c.blob, 0, c.sha, 3),
                      "delta_download_contract", contract);
    HttpRequest huge = c.request();
    huge.max_body = largest_single_download + 1;
    VORN_EXPECT_ERROR(
        download_blob_cached(transport, huge, c.blob, largest_single_download + 1, c.sha, 3),
        "delta_download_contract", contract);
    VORN_EXPECT_ERROR(download_blob_cached(transport, c.request(), c.blob, blob_size + 1, c.sha, 3),
                      "delta_download_contract", contract);
    std::string upper = c.sha;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    VORN_EXPECT_ERROR(download_blob_cached(transport, c.request(), c.blob, blob_size, upper, 3),
                      "delta_download_contract", contract);
    HttpRequest outside = c.request();
    outside.trust = UrlTrust::project_hosts;
    VORN_EXPECT_ERROR(download_blob_cached(transport, outside, c.blob, blob_size, c.sha, 3),
                      "untrusted_url");
    HttpRequest post = c.request();
    post.method = "POST";
    HttpResponse response;
    FileDownload download{.path = c.cache / L"x.part", .size = blob_size};
    VORN_EXPECT_ERROR(transport.download_file(response, post, download), "delta_download_contract",
                      L"Неверные параметры загрузки дельты.");
    EXPECT_FALSE(fs::exists(c.blob.parent_path()));
    EXPECT_EQ(c.requests(), 0u);
}

}  // namespace
}  // namespace vorn
