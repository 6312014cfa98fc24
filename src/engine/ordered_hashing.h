// Hashing a list of client files on several threads while the caller takes the digests in
// list order: every file is read once, by one worker, a few files ahead of the caller, and
// everything the caller shows (views, mismatches, errors) stays in list order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/sha256.h"

namespace vorn {

// As many threads as cores, at most four: more only queue on the same disk.
std::size_t hashing_threads();

class OrderedHashing {
  public:
    // jobs[i] empty: nothing to hash for i. With `threads` 0 every file is hashed by take().
    OrderedHashing(std::vector<std::optional<std::filesystem::path>> jobs, std::size_t threads);
    ~OrderedHashing();  // stops the workers: a file being hashed is left unfinished
    OrderedHashing(const OrderedHashing&) = delete;
    OrderedHashing& operator=(const OrderedHashing&) = delete;

    // The digest of file i (hash_client_file), or its error rethrown. Takes the files in
    // increasing order; calls `progress` on the calling thread while it waits: once at 0
    // bytes, whenever the worker got further, and once at the end.
    std::string take(std::size_t index, const HashProgress& progress);

  private:
    struct Slot {
        std::atomic<std::uint64_t> done{0};
        std::atomic<std::uint64_t> total{0};
        std::atomic<bool> started{false};
        bool finished = false;  // guarded by mutex_
        std::string digest;
        std::exception_ptr error;
    };

    void work();
    std::optional<std::size_t> claim();
    void run_job(std::size_t index);

    std::vector<std::optional<std::filesystem::path>> jobs_;
    std::vector<Slot> slots_;
    std::size_t window_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;   // the next job a worker claims
    std::size_t taken_ = 0;  // the caller's position
    bool stopping_ = false;
    std::atomic<bool> cancelled_{false};
    std::vector<std::thread> workers_;
};

}  // namespace vorn
