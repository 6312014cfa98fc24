#include "core/hash_behind.h"

namespace vorn {

HashBehind::HashBehind() : thread_([this] { run(); }) {}

HashBehind::~HashBehind() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void HashBehind::wait_idle(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return !busy_; });
    if (error_) {
        std::rethrow_exception(error_);
    }
}

void HashBehind::hand(const std::uint8_t* data, std::size_t size) {
    std::unique_lock lock(mutex_);
    wait_idle(lock);
    data_ = data;
    size_ = size;
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
}

std::string HashBehind::finish() {
    std::unique_lock lock(mutex_);
    wait_idle(lock);
    return hash_.finish();
}

void HashBehind::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return busy_ || stopping_; });
        if (stopping_) {
            return;
        }
        lock.unlock();
        std::exception_ptr error;
        try {
            hash_.update(data_, size_);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        error_ = error;
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace vorn
