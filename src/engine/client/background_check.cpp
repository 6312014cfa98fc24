#include "engine/client/background_check.h"

#include "engine/client/client_file_hash.h"

namespace vorn {

BackgroundCheck::~BackgroundCheck() {
    if (running_.valid()) {
        running_.wait();
    }
}

void BackgroundCheck::start(std::filesystem::path path, std::string expected,
                            LauncherError failure) {
    settle();
    running_ = std::async(
        std::launch::async,
        [path = std::move(path), expected = std::move(expected), failure = std::move(failure)]() {
            // Only a mismatch is answered here; an error of the hashing itself travels as it is.
            return hash_client_file(path) == expected ? std::optional<LauncherError>()
                                                      : std::optional(failure);
        });
}

void BackgroundCheck::settle() {
    if (!running_.valid()) {
        return;
    }
    if (const std::optional<LauncherError> failure = running_.get()) {
        throw *failure;
    }
}

}  // namespace vorn
