#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "core/file_system.h"
#include "core/io_block.h"
#include "core/unique_handle.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

using test::names_in;

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(LongPath, PrefixesAndNormalises) {
    EXPECT_EQ(long_path(L"C:\\x\\..\\y"), L"\\\\?\\C:\\y");
    EXPECT_EQ(long_path(L"C:/a/./b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(long_path(L"\\\\server\\share\\f"), L"\\\\?\\UNC\\server\\share\\f");
    EXPECT_EQ(long_path(L"//server/share/x/../f"), L"\\\\?\\UNC\\server\\share\\f");
    EXPECT_EQ(long_path(L"\\\\?\\C:\\already\\..\\kept"), L"\\\\?\\C:\\already\\..\\kept");
    // A relative path is made absolute against the current folder.
    const std::wstring relative = long_path(L"some-file.txt");
    EXPECT_TRUE(relative.starts_with(L"\\\\?\\"));
    EXPECT_TRUE(relative.ends_with(L"\\some-file.txt"));
}

TEST(LongPath, ReachesPathsBeyondMaxPath) {
    test::ScopedTempDir temp;
    fs::path deep = temp.path();
    while (deep.native().size() < 400) {
        deep /= std::wstring(50, L'd');
    }
    ensure_service_directory(deep);
    const fs::path file = deep / L"state.json";
    write_text_file_atomic(file, "deep");
    EXPECT_EQ(read_file_limited(file, 100), bytes_of("deep"));
    EXPECT_TRUE(is_plain_file(file));
}

TEST(ServiceDirectory, CreatesParentsAndRefusesFilesAndLinks) {
    test::ScopedTempDir temp;
    ensure_service_directory(temp / L"a\\b\\c");
    EXPECT_TRUE(fs::is_directory(temp / L"a\\b\\c"));
    ensure_service_directory(temp / L"a\\b\\c");  // existing folder is fine

    test::write_raw_file(temp / L"file", "x");
    VORN_EXPECT_ERROR(ensure_service_directory(temp / L"file"), "create_directory",
                      L"Не удалось создать служебную папку.");

    VORN_REQUIRE_FIXTURE(links, "links");
    VORN_EXPECT_ERROR(ensure_service_directory(links / L"dir_link"), "unsafe_path",
                      L"Служебная папка недоступна или является ссылкой.");
}

TEST(AtomicWrite, CreatesReplacesAndLeavesNoTemporary) {
    test::ScopedTempDir temp;
    const fs::path target = temp / L"state\\файл.json";
    write_text_file_atomic(target, "first");
    EXPECT_EQ(test::read_raw_file(target), "first");
    write_file_atomic(target, bytes_of("second, longer"));
    EXPECT_EQ(test::read_raw_file(target), "second, longer");
    write_file_atomic(target, Bytes{});
    EXPECT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);
    EXPECT_EQ(names_in(temp / L"state"), std::vector<std::wstring>{L"файл.json"});
}

TEST(AtomicWrite, LargeContentIsWrittenInChunks) {
    test::ScopedTempDir temp;
    Bytes big(3 * io_block_size + 17);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 7);
    }
    write_file_atomic(temp / L"big.bin", big);
    EXPECT_EQ(read_file_limited(temp / L"big.bin", big.size()), big);
}

TEST(AtomicWrite, FailedReplaceKeepsOldContentAndRemovesTemporary) {
    test::ScopedTempDir temp;
    const fs::path target = temp / L"receipt.json";
    write_text_file_atomic(target, "old content");
    {
        // Another program holds the file without sharing: the final move must fail.
        UniqueFile holder(CreateFileW(long_path(target).c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        const auto error =
            test::capture_error([&] { write_text_file_atomic(target, "new content"); });
        ASSERT_TRUE(error) << "replacing a file held open without sharing must fail";
        EXPECT_EQ(error->stage, "replace_file") << test::describe(*error);
    }
    EXPECT_EQ(test::read_raw_file(target), "old content");
    EXPECT_EQ(names_in(temp.path()), std::vector<std::wstring>{L"receipt.json"});
}

TEST(AtomicWrite, RefusesFolderAndLinkTargetsWithoutTemporary) {
    test::ScopedTempDir temp;
    fs::create_directories(temp / L"target_dir");
    VORN_EXPECT_ERROR(write_text_file_atomic(temp / L"target_dir", "x"), "unsafe_path",
                      L"Небезопасный путь сохранения файла.");
    EXPECT_EQ(names_in(temp.path()), std::vector<std::wstring>{L"target_dir"});

    VORN_REQUIRE_FIXTURE(links, "links");
    const auto before = names_in(links);
    VORN_EXPECT_ERROR(write_text_file_atomic(links / L"dir_link", "x"), "unsafe_path",
                      L"Небезопасный путь сохранения файла.");
    EXPECT_EQ(names_in(links), before);
}

TEST(AtomicWrite, StaleTemporariesOfOurNamesAreRemovedAndNothingElse) {
    test::ScopedTempDir temp;
    const std::vector<std::wstring> ours = {L"state.json.0123456789abcdef.tmp",
                                            L"other.bin.fedcba9876543210.tmp"};
    const std::vector<std::wstring> kept = {
        L"state.json",                        // the file itself
        L"state.json.0123456789abcdeg.tmp",   // not our digits
        L"state.json.0123456789abcde.tmp",    // one digit short
        L"foreign.txt.0123456789abcdef.tmp",  // a name we do not write
    };
    for (const auto& name : ours) {
        test::write_raw_file(temp / name, "x");
    }
    for (const auto& name : kept) {
        test::write_raw_file(temp / name, "x");
    }
    std::filesystem::create_directory(temp / L"dir.json.0123456789abcdef.tmp");
    remove_stale_temporaries(temp.path(), [](std::wstring_view base) {
        return base == L"state.json" || base == L"other.bin" || base == L"dir.json";
    });
    std::vector<std::wstring> expected = kept;
    expected.push_back(L"dir.json.0123456789abcdef.tmp");  // a folder is never ours
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::names_in(temp.path()), expected);
}

TEST(ReadLimited, EnforcesLimitExactly) {
    test::ScopedTempDir temp;
    test::write_raw_file(temp / L"ten", "0123456789");
    EXPECT_EQ(read_file_limited(temp / L"ten", 10), bytes_of("0123456789"));
    VORN_EXPECT_ERROR(read_file_limited(temp / L"ten", 9), "file_limit",
                      L"Файл превышает допустимый размер.");
    test::write_raw_file(temp / L"empty", "");
    EXPECT_TRUE(read_file_limited(temp / L"empty", 0).empty());
}

TEST(ReadLimited, RefusesFoldersLinksAndMissingFiles) {
    test::ScopedTempDir temp;
    fs::create_directories(temp / L"dir");
    VORN_EXPECT_ERROR(read_file_limited(temp / L"dir", 100), "unsafe_path",
                      L"Ожидался обычный файл.");
    const auto missing = test::capture_error([&] { read_file_limited(temp / L"missing", 100); });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->stage, "read_file");
    EXPECT_EQ(missing->win32, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(is_plain_file(temp / L"missing"));
    EXPECT_FALSE(is_plain_file(temp / L"dir"));

    VORN_REQUIRE_FIXTURE(links, "links");
    VORN_EXPECT_ERROR(read_file_limited(links / L"dir_link", 100), "unsafe_path",
                      L"Ожидался обычный файл.");
    EXPECT_FALSE(is_plain_file(links / L"dir_link"));
    EXPECT_TRUE(is_plain_file(links / L"file_target.txt"));
}

TEST(ReadLimited, RefusesFileLinks) {
    if (test::running_under_wine()) {
        GTEST_SKIP() << "Wine shows a link to a file as a plain file and creates none itself";
    }
    test::ScopedTempDir temp;
    test::write_raw_file(temp / L"target", "x");
    if (!CreateSymbolicLinkW((temp / L"link").c_str(), (temp / L"target").c_str(), 0x2)) {
        GTEST_SKIP() << "creating a file link needs developer mode or the privilege";
    }
    VORN_EXPECT_ERROR(read_file_limited(temp / L"link", 100), "unsafe_path",
                      L"Ожидался обычный файл.");
}

}  // namespace
}  // namespace vorn
