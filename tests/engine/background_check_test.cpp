#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include <windows.h>

#include "core/sha256.h"
#include "engine/client/background_check.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

LauncherError mismatch() {
    return LauncherError("install_verify", L"Установленный файл не прошёл проверку.");
}

// What a check answers when settled, and which failure wins when the caller's next step
// fails while an earlier file's check is still running.
TEST(BackgroundCheck, FailuresSurfaceInFileOrder) {
    test::ScopedTempDir dir;
    const fs::path file = dir.path() / L"f.bin";
    test::write_raw_file(file, "content");
    const std::string right = sha256_string("content");

    BackgroundCheck check;
    check.settle();  // nothing started: nothing to raise
    check.start(file, right, mismatch());
    check.settle();
    check.start(file, sha256_string("other"), mismatch());
    VORN_EXPECT_ERROR(check.settle(), "install_verify");
    check.settle();  // a failure is raised once

    // A hashing error travels as it is, not as the mismatch.
    check.start(dir.path() / L"missing.bin", right, mismatch());
    VORN_EXPECT_ERROR(check.settle(), "file_safety");

    // The earlier file's failure wins over the step's own error; a passing check does not
    // hide the step's error.
    check.start(file, sha256_string("other"), mismatch());
    VORN_EXPECT_ERROR(check.guard([] { throw LauncherError("install_conflict", L"x"); }),
                      "install_verify");
    check.start(file, right, mismatch());
    VORN_EXPECT_ERROR(check.guard([] { throw LauncherError("install_conflict", L"x"); }),
                      "install_conflict");

    // Starting the next check settles the one before it first.
    check.start(file, sha256_string("other"), mismatch());
    VORN_EXPECT_ERROR(check.start(file, right, mismatch()), "install_verify");
    check.settle();
}

// A check nobody settles is waited for: its file is closed when the owner goes.
TEST(BackgroundCheck, AnUnsettledCheckIsWaitedFor) {
    test::ScopedTempDir dir;
    const fs::path file = dir.path() / L"large.bin";
    test::write_raw_file(file, std::string(32 << 20, 'x'));
    {
        BackgroundCheck check;
        check.start(file, "0", mismatch());
    }
    EXPECT_TRUE(DeleteFileW(file.c_str())) << GetLastError();
}

}  // namespace
}  // namespace vorn
