// A SHA-256 of a stream of blocks taken on a thread of its own, so that a caller who hashes
// the same bytes another way (a copy that proves its source and its output) uses two cores.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "core/sha256.h"

namespace vorn {

class HashBehind {
  public:
    HashBehind();
    ~HashBehind();
    HashBehind(const HashBehind&) = delete;
    HashBehind& operator=(const HashBehind&) = delete;

    // Waits until the previous block is hashed, then hands this one over and returns. The
    // caller keeps the block's bytes unchanged until its next hand() or finish() returns.
    void hand(const std::uint8_t* data, std::size_t size);
    // Waits for the last block: 64 lower-case hex characters. Throws the hash's LauncherError.
    std::string finish();

  private:
    void run();
    void wait_idle(std::unique_lock<std::mutex>& lock);

    Sha256 hash_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool busy_ = false;
    bool stopping_ = false;
    std::exception_ptr error_;
    std::thread thread_;  // last: it starts once everything it uses exists
};

}  // namespace vorn
