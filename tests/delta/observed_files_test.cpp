#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "core/launcher_error.h"
#include "core/sha256.h"
#include "delta/observed_files.h"
#include "support/launcher_error_assert.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

using Event = std::tuple<std::string, std::string, std::uint64_t, std::uint64_t>;

std::vector<Event> observe_one_by_one(const std::vector<fs::path>& paths,
                                      std::vector<FileState>& states) {
    std::vector<Event> events;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        states.push_back(observe_file(
            paths[i],
            [&](std::string_view event, const std::string& path, std::uint64_t done,
                std::uint64_t total) { events.emplace_back(event, path, done, total); },
            std::to_string(i)));
    }
    return events;
}

// The ordered observation gives what observing one file after another gives: the same
// states and, for files read within one report interval, the same events. An absent file
// reports nothing; an empty one its start and its end.
TEST(ObservedFiles, MatchesObservingOneByOne) {
    test::ScopedTempDir dir;
    std::vector<fs::path> paths;
    for (std::size_t i = 0; i < 24; ++i) {
        paths.push_back(dir / (L"f" + std::to_wstring(i) + L".bin"));
        if (i % 7 == 3) {
            continue;  // absent
        }
        test::write_raw_file(paths.back(),
                             std::string(i % 5 == 0 ? 0 : i * 40000, static_cast<char>('a' + i)));
    }
    std::vector<FileState> expected_states;
    const std::vector<Event> expected = observe_one_by_one(paths, expected_states);

    ObservedFiles observed(paths.size(), [&](std::size_t i) { return paths[i]; });
    std::vector<Event> events;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const FileState state = observed.take(
            i,
            [&](std::string_view event, const std::string& path, std::uint64_t done,
                std::uint64_t total) { events.emplace_back(event, path, done, total); },
            std::to_string(i));
        EXPECT_EQ(state, expected_states[i]) << i;
        EXPECT_EQ(state.exists, i % 7 != 3) << i;
    }
    EXPECT_EQ(events, expected);
}

// A path that cannot be resolved, and a file that cannot be read, fail at their own turn,
// after the files before them; the workers reading ahead are stopped without a fault.
TEST(ObservedFiles, ErrorsComeAtTheirOwnTurn) {
    test::ScopedTempDir dir;
    std::vector<fs::path> paths;
    for (std::size_t i = 0; i < 40; ++i) {
        paths.push_back(dir / (L"f" + std::to_wstring(i) + L".bin"));
        test::write_raw_file(paths.back(), std::string(100000, 'x'));
    }
    fs::create_directory(dir / L"f5.bin.dir");
    paths[5] = dir / L"f5.bin.dir";  // a folder: "delta_reparse" when opened
    for (const std::size_t failing : {std::size_t{2}, std::size_t{5}}) {
        SCOPED_TRACE(failing);
        ObservedFiles observed(paths.size(), [&](std::size_t i) {
            if (i == 2 && failing == 2) {
                throw LauncherError("delta_root", L"x");
            }
            return paths[i];
        });
        for (std::size_t i = 0; i < failing; ++i) {
            EXPECT_TRUE(observed.take(i, {}, {}).exists);
        }
        VORN_EXPECT_ERROR(observed.take(failing, {}, {}),
                          failing == 2 ? "delta_root" : "delta_reparse");
    }
}

}  // namespace
}  // namespace vorn
