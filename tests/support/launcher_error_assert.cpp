#include "support/launcher_error_assert.h"

#include <sstream>

namespace vorn::test {

std::string describe(const LauncherError& error) {
    std::ostringstream out;
    out << "stage=" << error.stage << " message=\"" << error.what() << "\" event=" << error.event
        << " win32=" << error.win32 << " http_status=" << error.http_status
        << " bytes=" << error.bytes << " expected_bytes=" << error.expected_bytes
        << " elapsed_ms=" << error.elapsed_ms << " content_encoding=" << error.content_encoding
        << " attempts=" << error.attempts.dump();
    return out.str();
}

std::optional<LauncherError> capture_error(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const LauncherError& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "expected LauncherError, got std::exception: " << other.what();
    }
    return std::nullopt;
}

::testing::AssertionResult throws_launcher_error(const std::function<void()>& fn,
                                                 const std::string& stage,
                                                 const std::wstring& message) {
    try {
        fn();
    } catch (const LauncherError& error) {
        if (error.stage != stage) {
            return ::testing::AssertionFailure()
                   << "expected stage " << stage << ", got " << describe(error);
        }
        if (!message.empty() && error.message != message) {
            return ::testing::AssertionFailure()
                   << "expected message \"" << LauncherError("", message).what() << "\", got "
                   << describe(error);
        }
        return ::testing::AssertionSuccess();
    } catch (const std::exception& other) {
        return ::testing::AssertionFailure()
               << "expected LauncherError " << stage << ", got std::exception: " << other.what();
    }
    return ::testing::AssertionFailure()
           << "expected LauncherError " << stage << ", nothing thrown";
}

}  // namespace vorn::test
