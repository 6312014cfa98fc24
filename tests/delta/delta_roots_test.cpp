#include <gtest/gtest.h>

#include <filesystem>

#include "delta/delta_roots.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// A client folder with a non-ASCII name, so that wide paths are exercised.
class DeltaRootsTest : public ::testing::Test {
  protected:
    DeltaRootInputs inputs() const { return {dir.path() / L"клиент", dir.path() / L"state", {}}; }
    void SetUp() override { fs::create_directories(dir.path() / L"клиент"); }

    test::ScopedTempDir dir;
};

TEST_F(DeltaRootsTest, JournalProbe) {
    EXPECT_FALSE(delta_journal_exists(inputs()));

    const fs::path journal = dir.path() / L"клиент" / L".vorn-delta-journal-v1.json";
    fs::create_directory(journal);
    VORN_EXPECT_ERROR(delta_journal_exists(inputs()), "delta_journal", delta_package_message);

    fs::remove(journal);
    test::write_raw_file(journal, "{}");
    EXPECT_TRUE(delta_journal_exists(inputs()));
}

TEST_F(DeltaRootsTest, RefusesMissingRoots) {
    DeltaRootInputs no_state = inputs();
    no_state.state_dir.clear();
    DeltaRootInputs no_root = inputs();
    no_root.root.clear();
    DeltaRootInputs absent = inputs();
    absent.root = dir.path() / L"absent";
    DeltaRootInputs file_root = inputs();
    file_root.root = dir.path() / L"file";
    test::write_raw_file(file_root.root, "x");
    int index = 0;
    for (const DeltaRootInputs& bad : {no_state, no_root, absent, file_root}) {
        VORN_EXPECT_ERROR(resolve_delta_roots(bad), "delta_root", delta_package_message)
            << "case " << index;
        ++index;
    }
    VORN_EXPECT_ERROR(delta_journal_exists(absent), "delta_root", delta_package_message);
}

TEST_F(DeltaRootsTest, UpdaterPinLimits) {
    const std::string sha(64, 'a');
    DeltaRootInputs pinned = inputs();
    for (const std::uint64_t bytes : {std::uint64_t{1}, largest_updater}) {
        pinned.updater_pin = FileDigest{sha, bytes};
        EXPECT_EQ(resolve_delta_roots(pinned).updater_pin, pinned.updater_pin);
    }
    for (const FileDigest& bad : {FileDigest{sha, 0}, FileDigest{sha, largest_updater + 1},
                                  FileDigest{std::string(64, 'A'), 1}}) {
        pinned.updater_pin = bad;
        VORN_EXPECT_ERROR(resolve_delta_roots(pinned), "delta_updater_pin", delta_package_message)
            << bad.bytes;
    }
}

}  // namespace
}  // namespace vorn
