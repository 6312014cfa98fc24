// A digest check that runs on another thread while the caller goes on with the next file.
// The caller settles it before it does anything that relies on the result, and before it
// raises an error of its own, so failures still surface in file order.
#pragma once

#include <filesystem>
#include <future>
#include <optional>
#include <string>

#include "core/launcher_error.h"

namespace vorn {

class BackgroundCheck {
  public:
    BackgroundCheck() = default;
    ~BackgroundCheck();  // waits for a check still running; its result is dropped
    BackgroundCheck(const BackgroundCheck&) = delete;
    BackgroundCheck& operator=(const BackgroundCheck&) = delete;

    // Settles the check before, then hashes `path` on another thread; a digest other than
    // `expected` raises `failure` when settled, and so does an error of the hashing.
    void start(std::filesystem::path path, std::string expected, LauncherError failure);

    // Waits for the running check, if any, and raises its failure.
    void settle();

    // Runs `step`; when it fails, the running check is settled first: an earlier file's
    // failure is the one raised.
    template <typename Step>
    void guard(const Step& step) {
        try {
            step();
        } catch (...) {
            settle();
            throw;
        }
    }

  private:
    std::future<std::optional<LauncherError>> running_;
};

}  // namespace vorn
