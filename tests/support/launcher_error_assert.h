// Assertions on LauncherError that print every field when they fail.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/launcher_error.h"

namespace vorn::test {

// "stage=... message=... win32=... http_status=... bytes=..." in UTF-8.
std::string describe(const LauncherError& error);

// Runs `fn`; returns the LauncherError it threw, or nothing when it threw none.
// Any other exception type fails the test and gives nothing.
std::optional<LauncherError> capture_error(const std::function<void()>& fn);

// Success when `fn` throws a LauncherError with `stage` and, unless `message` is empty,
// exactly `message`.
::testing::AssertionResult throws_launcher_error(const std::function<void()>& fn,
                                                 const std::string& stage,
                                                 const std::wstring& message = {});

}  // namespace vorn::test

#define VORN_EXPECT_ERROR(statement, stage, ...) \
    EXPECT_TRUE(::vorn::test::throws_launcher_error([&] { statement; }, stage, ##__VA_ARGS__))
#define VORN_ASSERT_ERROR(statement, stage, ...) \
    ASSERT_TRUE(::vorn::test::throws_launcher_error([&] { statement; }, stage, ##__VA_ARGS__))
