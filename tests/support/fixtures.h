// Fixtures prepared from the Linux side before the tests run.
#pragma once

#include <filesystem>
#include <optional>

namespace vorn::test {

// The Windows form (Z:\...) of a folder under VORN_TEST_FIXTURES, or nothing when the
// tests run without the CTest fixtures.
std::optional<std::filesystem::path> fixture_dir(const char* name);

// The Windows form of a Linux absolute path (Wine shows the Linux root as drive Z:);
// any other path is returned as it is.
std::filesystem::path from_linux_path(const std::string& path);

// True when running under Wine (ntdll exports wine_get_version).
bool running_under_wine();

}  // namespace vorn::test

// What a test binary started by hand without the CTest fixtures is told.
#define VORN_FIXTURES_MISSING                                                             \
    "this test needs the fixtures CTest lays out (VORN_TEST_FIXTURES: link folders, the " \
    "loopback server); run it through CTest: ./dev.sh test, or ctest -R <binary> in the " \
    "build folder"

// Fails the test, saying how to run it, when the CTest fixture folder `name` is absent.
#define VORN_REQUIRE_FIXTURE(dir, name)                       \
    const auto dir##_found = ::vorn::test::fixture_dir(name); \
    if (!dir##_found) {                                       \
        FAIL() << VORN_FIXTURES_MISSING;                      \
    }                                                         \
    const std::filesystem::path& dir = *dir##_found
