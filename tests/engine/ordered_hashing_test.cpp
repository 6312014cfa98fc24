#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <optional>
#include <string>
#include <vector>

#include "core/ordered_work.h"
#include "core/sha256.h"
#include "engine/client/ordered_hashing.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

struct Files {
    test::ScopedTempDir dir;
    std::vector<std::optional<fs::path>> jobs;
    std::vector<std::string> contents;

    Files(std::size_t count, std::size_t size) {
        for (std::size_t i = 0; i < count; ++i) {
            // Sizes differ so that workers finish out of order.
            const std::string number = std::to_string(i);
            std::string content(size * (i % 5 + 1), static_cast<char>('a' + i % 26));
            content.replace(0, number.size(), number);
            const fs::path path = dir / (L"f" + std::to_wstring(i) + L".bin");
            test::write_raw_file(path, content);
            jobs.emplace_back(path);
            contents.push_back(content);
        }
    }
};

TEST(OrderedHashing, DigestsComeInOrderWithOneStartAndOneEndPerFile) {
    for (const std::size_t threads : {0u, 2u, 4u}) {
        SCOPED_TRACE(threads);
        Files files(40, 300000);
        files.jobs[7].reset();  // nothing to hash for this one
        OrderedHashing hashing(files.jobs, threads);
        for (std::size_t i = 0; i < files.jobs.size(); ++i) {
            std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
            const std::string digest = hashing.take(
                i,
                [&](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); });
            if (!files.jobs[i]) {
                EXPECT_EQ(digest, "");
                EXPECT_TRUE(calls.empty());
                continue;
            }
            EXPECT_EQ(digest, sha256_string(files.contents[i])) << i;
            const std::uint64_t size = files.contents[i].size();
            ASSERT_GE(calls.size(), 2u);
            EXPECT_EQ(calls.front(), std::make_pair(std::uint64_t{0}, size));
            EXPECT_EQ(calls.back(), std::make_pair(size, size));
            for (std::size_t c = 1; c < calls.size(); ++c) {
                EXPECT_LE(calls[c - 1].first, calls[c].first);  // never backwards
            }
        }
    }
}

TEST(OrderedHashing, AnErrorIsRaisedAtItsOwnTurnAndTheRestGoOn) {
    Files files(6, 1000);
    fs::create_directories(files.dir / "folder");
    files.jobs[2] = files.dir / "folder";
    OrderedHashing hashing(files.jobs, 4);
    EXPECT_EQ(hashing.take(0, {}), sha256_string(files.contents[0]));
    EXPECT_EQ(hashing.take(1, {}), sha256_string(files.contents[1]));
    VORN_EXPECT_ERROR(hashing.take(2, {}), "file_safety",
                      L"Файл клиента недоступен или является ссылкой.");
    EXPECT_EQ(hashing.take(3, {}), sha256_string(files.contents[3]));
}

TEST(OrderedHashing, ACallerThatStopsEarlyLeavesNoFileOpen) {
    Files files(8, 8 * 1048576);
    {
        OrderedHashing hashing(files.jobs, 4);
        EXPECT_EQ(hashing.take(0, {}), sha256_string(files.contents[0]));
    }  // the workers may be in the middle of the next files
    for (const auto& path : files.jobs) {
        EXPECT_TRUE(DeleteFileW(path->c_str())) << path->string() << " " << GetLastError();
    }
}

// Workers start the jobs in the given order, as far ahead as they get, while the caller
// still takes every result in list order, each job run once.
TEST(OrderedWork, AStartOrderChangesWhatRunsFirstButNotWhatTheCallerSees) {
    constexpr std::size_t count = 30;
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) {
        order[i] = count - 1 - i;  // the last job first
    }
    std::mutex mutex;
    std::vector<std::size_t> started;
    std::vector<OrderedWork<std::size_t>::Job> jobs;
    for (std::size_t i = 0; i < count; ++i) {
        jobs.push_back([&, i](const HashProgress& progress) {
            {
                const std::lock_guard lock(mutex);
                started.push_back(i);
            }
            progress(0, 1);
            Sleep(2);
            progress(1, 1);
            return i * 10;
        });
    }
    OrderedWork<std::size_t> work(std::move(jobs), 2, order);
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(work.take(i, {}), i * 10);
    }
    const std::lock_guard lock(mutex);
    ASSERT_EQ(started.size(), count);  // each job once
    // The caller waited for job 0 first; the workers had begun from the other end.
    EXPECT_TRUE(started[0] == count - 1 || started[0] == count - 2) << started[0];
    EXPECT_EQ(std::set<std::size_t>(started.begin(), started.end()).size(), count);
}

}  // namespace
}  // namespace vorn
