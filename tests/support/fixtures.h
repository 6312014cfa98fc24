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
