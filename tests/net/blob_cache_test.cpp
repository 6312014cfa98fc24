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
    const auto error = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().download_blob(response, c.request(), part, blob_size, c.sha);
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "delta_blob_length");
    EXPECT_EQ(error->message, L"Блок дельты превышает объявленный размер.");
    ASSERT_TRUE(fs::exists(part));
    EXPECT_LE(fs::file_size(part), blob_size);
    EXPECT_EQ(error->bytes, fs::file_size(part));

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
         L"Блок дельты не прошёл проверку SHA-256."},
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
    VORN_EXPECT_ERROR(
        transport.download_blob(response, post, c.cache / L"x.part", blob_size, c.sha),
        "delta_download_contract", L"Неверные параметры загрузки дельты.");
    EXPECT_FALSE(fs::exists(c.blob.parent_path()));
    EXPECT_EQ(c.requests(), 0u);
}

}  // namespace
}  // namespace vorn
