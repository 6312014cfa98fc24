#include "engine/ordered_hashing.h"

#include <algorithm>
#include <chrono>

#include "engine/file_hashing.h"

namespace vorn {
namespace {

constexpr std::size_t most_threads = 4;
// How far the workers may run ahead of the caller, in files per worker: far enough that a
// worker never idles behind one large file the caller is still waiting for.
constexpr std::size_t files_ahead_per_worker = 16;
constexpr auto progress_poll = std::chrono::milliseconds(100);

// Thrown inside a worker's hashing when the caller has gone: ends the read early.
struct Cancelled {};

}  // namespace

std::size_t hashing_threads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores == 0 ? 1 : cores, 1, most_threads);
}

OrderedHashing::OrderedHashing(std::vector<std::optional<std::filesystem::path>> jobs,
                               std::size_t threads)
    : jobs_(std::move(jobs)),
      slots_(jobs_.size()),
      window_(std::max<std::size_t>(1, threads * files_ahead_per_worker)) {
    // One worker gains nothing over hashing on the caller's own thread.
    if (threads < 2) {
        return;
    }
    for (std::size_t i = 0; i < threads; ++i) {
        workers_.emplace_back([this] { work(); });
    }
}

OrderedHashing::~OrderedHashing() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cancelled_ = true;
    changed_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
}

std::optional<std::size_t> OrderedHashing::claim() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock,
                  [&] { return stopping_ || next_ >= jobs_.size() || next_ < taken_ + window_; });
    if (stopping_ || next_ >= jobs_.size()) {
        return std::nullopt;
    }
    return next_++;
}

void OrderedHashing::work() {
    while (const auto index = claim()) {
        run_job(*index);
    }
}

void OrderedHashing::run_job(std::size_t index) {
    Slot& slot = slots_[index];
    std::string digest;
    std::exception_ptr error;
    if (jobs_[index]) {
        try {
            digest = hash_client_file(*jobs_[index], [&](std::uint64_t done, std::uint64_t total) {
                if (cancelled_) {
                    throw Cancelled{};
                }
                slot.total = total;
                slot.done = done;
                slot.started = true;
            });
        } catch (const Cancelled&) {
            return;  // nobody waits for this file any more
        } catch (...) {
            error = std::current_exception();
        }
    }
    {
        const std::lock_guard lock(mutex_);
        slot.digest = std::move(digest);
        slot.error = error;
        slot.finished = true;
    }
    changed_.notify_all();
}

std::string OrderedHashing::take(std::size_t index, const HashProgress& progress) {
    {
        const std::lock_guard lock(mutex_);
        taken_ = index;
    }
    changed_.notify_all();
    if (!jobs_[index]) {
        return {};
    }
    if (workers_.empty()) {
        return hash_client_file(*jobs_[index], progress);
    }
    Slot& slot = slots_[index];
    std::unique_lock lock(mutex_);
    bool shown_start = false;
    std::uint64_t shown = 0;
    while (!changed_.wait_for(lock, progress_poll, [&] { return slot.finished; })) {
        if (progress && slot.started && (!shown_start || slot.done != shown)) {
            shown = slot.done;
            const std::uint64_t total = slot.total;
            lock.unlock();
            progress(shown_start ? shown : 0, total);
            lock.lock();
            shown_start = true;
        }
    }
    const std::exception_ptr error = slot.error;
    const std::string digest = std::move(slot.digest);
    const std::uint64_t total = slot.total;
    lock.unlock();
    if (error) {
        std::rethrow_exception(error);
    }
    if (progress) {
        if (!shown_start) {
            progress(0, total);
        }
        progress(total, total);
    }
    return digest;
}

}  // namespace vorn
