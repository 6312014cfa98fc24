#include <gtest/gtest.h>

#include <windows.h>

#include <type_traits>
#include <vector>

#include "core/hex.h"
#include "core/sha256.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

constexpr const char* empty_digest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Sha256, StandardVectors) {
    EXPECT_EQ(sha256_string(""), empty_digest);
    EXPECT_EQ(sha256_string("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_string("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const Bytes million(1000000, 'a');
    EXPECT_EQ(sha256_bytes(million),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, IncrementalUpdatesEqualOneShot) {
    Bytes data(3 * 1048576 + 5);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i % 251);
    }
    Sha256 hash;
    hash.update(data.data(), 10);
    hash.update(data.data() + 10, 0);
    hash.update(data.data() + 10, data.size() - 10);
    EXPECT_EQ(hash.finish(), sha256_bytes(data));
}

static_assert(std::is_move_constructible_v<Sha256> && !std::is_move_assignable_v<Sha256>,
              "a live hash must never be replaced in place");

TEST(Hex, DigestTextRules) {
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(to_hex(bytes), "000fa5ff");
    EXPECT_TRUE(is_sha256_hex(empty_digest));
    EXPECT_FALSE(is_sha256_hex(std::string(63, 'a')));
    EXPECT_FALSE(is_sha256_hex(std::string(65, 'a')));
    std::string upper = empty_digest;
    upper[0] = 'E';
    EXPECT_FALSE(is_sha256_hex(upper));
    std::string other = empty_digest;
    other[5] = 'g';
    EXPECT_FALSE(is_sha256_hex(other));
}

struct ProgressLog {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    HashProgress callback() {
        return [this](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); };
    }
};

TEST(Sha256File, EmptyFileReportsTwiceAndHashesNothing) {
    test::ScopedTempDir temp;
    test::write_raw_file(temp / L"empty", "");
    ProgressLog log;
    EXPECT_EQ(sha256_file(temp / L"empty", log.callback()), empty_digest);
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {{0, 0}, {0, 0}};
    EXPECT_EQ(log.calls, expected);
}

TEST(Sha256File, MatchesMemoryDigestAndReportsRateLimitedProgress) {
    test::ScopedTempDir temp;
    std::string content(48 * 1048576 + 123, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 31) % 256);
    }
    test::write_raw_file(temp / L"big.bin", content);
    const Bytes bytes(content.begin(), content.end());

    ProgressLog log;
    const ULONGLONG started = GetTickCount64();
    EXPECT_EQ(sha256_file(temp / L"big.bin", log.callback()), sha256_bytes(bytes));
    const ULONGLONG elapsed = GetTickCount64() - started;

    ASSERT_GE(log.calls.size(), 2u);
    EXPECT_EQ(log.calls.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{content.size()}));
    EXPECT_EQ(log.calls.back(),
              std::make_pair(std::uint64_t{content.size()}, std::uint64_t{content.size()}));
    for (std::size_t i = 1; i < log.calls.size(); ++i) {
        EXPECT_GE(log.calls[i].first, log.calls[i - 1].first);
        EXPECT_EQ(log.calls[i].second, content.size());
    }
    // First and last calls are unconditional; the ones between come at most every 200 ms.
    EXPECT_LE(log.calls.size(), 2 + elapsed / 200 + 1) << "elapsed " << elapsed << " ms";
    EXPECT_EQ(sha256_file(temp / L"big.bin"), sha256_bytes(bytes));  // no callback at all
}

TEST(Sha256File, RefusesFoldersLinksAndMissingFiles) {
    test::ScopedTempDir temp;
    std::filesystem::create_directories(temp / L"dir");
    VORN_EXPECT_ERROR(sha256_file(temp / L"dir"), "unsafe_path",
                      L"Файл клиента является ссылкой или папкой.");
    VORN_EXPECT_ERROR(sha256_file(temp / L"missing"), "read_file");

    VORN_REQUIRE_FIXTURE(links, "links");
    VORN_EXPECT_ERROR(sha256_file(links / L"dir_link"), "unsafe_path",
                      L"Файл клиента является ссылкой или папкой.");
}

// The copy a backup is made by: its digest is of the bytes both files hold, and it never
// replaces a file or leaves one behind when it fails.
TEST(CopyFileHashed, CopiesWhatItHashesAndNeverOverwrites) {
    test::ScopedTempDir temp;
    std::string content(3 * 1048576 + 7, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 13) % 251);
    }
    test::write_raw_file(temp / L"live", content);
    ProgressLog log;
    EXPECT_EQ(copy_file_hashed(temp / L"live", temp / L"copy", log.callback()),
              sha256_string(content));
    EXPECT_EQ(test::read_raw_file(temp / L"copy"), content);
    EXPECT_EQ(log.calls.back(),
              std::make_pair(std::uint64_t{content.size()}, std::uint64_t{content.size()}));

    test::write_raw_file(temp / L"other", "other");
    VORN_EXPECT_ERROR(copy_file_hashed(temp / L"other", temp / L"copy"), "write_file");
    EXPECT_EQ(test::read_raw_file(temp / L"copy"), content);
    VORN_EXPECT_ERROR(copy_file_hashed(temp / L"missing", temp / L"made"), "read_file");
    std::filesystem::create_directories(temp / L"dir");
    VORN_EXPECT_ERROR(copy_file_hashed(temp / L"dir", temp / L"made"), "unsafe_path");
    EXPECT_FALSE(std::filesystem::exists(temp / L"made"));
}

}  // namespace
}  // namespace vorn
