// Fixtures prepared from the Linux side before the tests run.
#pragma once

#include <filesystem>
#include <optional>

namespace vorn::test {

// The Windows form (Z:\...) of a folder under VORN_TEST_FIXTURES, or nothing when the
// tests run without the CTest fixtures.
std::optional<std::filesystem::path> fixture_dir(const char* name);

// True when running under Wine (ntdll exports wine_get_version).
bool running_under_wine();

}  // namespace vorn::test
