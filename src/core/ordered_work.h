// Reading a list of files on several threads while the caller takes the results in list
// order: every job runs once, on one worker, a few jobs ahead of the caller, and everything
// the caller shows (views, mismatches, errors) stays in list order.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/sha256.h"

namespace vorn {

// As many threads as cores, at most four: more only queue on the same disk.
std::size_t hashing_threads();

template <typename Result>
class OrderedWork {
  public:
    // A job reads one file, reporting (done, total) as it goes. An empty job has nothing to
    // do: its result is Result{}.
    using Job = std::function<Result(const HashProgress&)>;

    // With `threads` below 2 every job runs on the caller's thread, in take(). Workers start
    // the jobs in list order, a few ahead of the caller; or, given a `start_order` (every
    // index once), in that order and as far ahead as they get: the largest files first keep
    // one large file from being read alone at the end.
    OrderedWork(std::vector<Job> jobs, std::size_t threads,
                std::vector<std::size_t> start_order = {})
        : jobs_(std::move(jobs)),
          slots_(jobs_.size()),
          start_order_(std::move(start_order)),
          window_(start_order_.empty() ? std::max<std::size_t>(1, threads * files_ahead_per_worker)
                                       : jobs_.size()) {
        if (threads < 2) {
            return;  // one worker gains nothing over the caller's own thread
        }
        for (std::size_t i = 0; i < threads; ++i) {
            workers_.emplace_back([this] { work(); });
        }
    }

    ~OrderedWork() {  // stops the workers: a job still reading is left unfinished
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

    OrderedWork(const OrderedWork&) = delete;
    OrderedWork& operator=(const OrderedWork&) = delete;

    // The result of job i, or its error rethrown. Takes the jobs in increasing order; calls
    // `progress` on the calling thread while it waits: once at 0, whenever the worker got
    // further, and once at the end.
    Result take(std::size_t index, const HashProgress& progress) {
        {
            const std::lock_guard lock(mutex_);
            taken_ = index;
        }
        changed_.notify_all();
        if (!jobs_[index]) {
            return Result{};
        }
        if (workers_.empty()) {
            return jobs_[index](progress);
        }
        return wait_for(slots_[index], progress);
    }

  private:
    // How far the workers may run ahead of the caller, in jobs per worker: far enough that a
    // worker never idles behind one large file the caller is still waiting for.
    static constexpr std::size_t files_ahead_per_worker = 16;
    static constexpr auto progress_poll = std::chrono::milliseconds(100);

    struct Cancelled {};  // thrown inside a job when the caller has gone: ends the read

    struct Slot {
        std::atomic<std::uint64_t> done{0};
        std::atomic<std::uint64_t> total{0};
        std::atomic<bool> started{false};
        bool finished = false;  // guarded by mutex_
        Result result{};
        std::exception_ptr error;
    };

    bool claim(std::size_t& index) {
        std::unique_lock lock(mutex_);
        changed_.wait(
            lock, [&] { return stopping_ || next_ >= jobs_.size() || next_ < taken_ + window_; });
        if (stopping_ || next_ >= jobs_.size()) {
            return false;
        }
        index = start_order_.empty() ? next_ : start_order_[next_];
        ++next_;
        return true;
    }

    void work() {
        std::size_t index = 0;
        while (claim(index)) {
            run_job(index);
        }
    }

    void run_job(std::size_t index) {
        Slot& slot = slots_[index];
        Result result{};
        std::exception_ptr error;
        if (jobs_[index]) {
            try {
                result = jobs_[index]([&](std::uint64_t done, std::uint64_t total) {
                    if (cancelled_) {
                        throw Cancelled{};
                    }
                    slot.total = total;
                    slot.done = done;
                    slot.started = true;
                });
            } catch (const Cancelled&) {
                return;  // nobody waits for this job any more
            } catch (...) {
                error = std::current_exception();
            }
        }
        {
            const std::lock_guard lock(mutex_);
            slot.result = std::move(result);
            slot.error = error;
            slot.finished = true;
        }
        changed_.notify_all();
    }

    Result wait_for(Slot& slot, const HashProgress& progress) {
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
        Result result = std::move(slot.result);
        const std::uint64_t total = slot.total;
        lock.unlock();
        if (error) {
            std::rethrow_exception(error);
        }
        // A job that found nothing to read (an absent file) reported nothing, and neither
        // does its caller.
        if (progress && slot.started) {
            if (!shown_start) {
                progress(0, total);
            }
            progress(total, total);
        }
        return result;
    }

    std::vector<Job> jobs_;
    std::vector<Slot> slots_;
    std::vector<std::size_t> start_order_;
    std::size_t window_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;   // how many jobs workers have claimed
    std::size_t taken_ = 0;  // the caller's position
    bool stopping_ = false;
    std::atomic<bool> cancelled_{false};
    std::vector<std::thread> workers_;
};

}  // namespace vorn
