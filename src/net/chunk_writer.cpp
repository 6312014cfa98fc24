#include "net/chunk_writer.h"

#include "core/file_system.h"
#include "core/launcher_error.h"

namespace vorn {
namespace {

// Chunks in flight at most: 16 network reads of 64 KiB ride out a slow write or hash.
constexpr std::size_t most_buffers = 16;

}  // namespace

ChunkWriter::ChunkWriter(HANDLE file, std::size_t chunk_size, const char* write_stage)
    : file_(file),
      write_stage_(write_stage),
      chunk_size_(chunk_size),
      thread_([this] { work(); }) {}

ChunkWriter::~ChunkWriter() {
    stop();
}

void ChunkWriter::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ChunkWriter::raise_failure() {
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

ChunkWriter::Buffer ChunkWriter::take_buffer() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failure_ || !free_.empty() || buffers_made_ < most_buffers; });
    raise_failure();
    if (free_.empty()) {
        ++buffers_made_;
        return Buffer(chunk_size_);
    }
    Buffer buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
}

void ChunkWriter::push(Buffer buffer, std::size_t size) {
    {
        const std::lock_guard lock(mutex_);
        raise_failure();
        queued_.push_back({std::move(buffer), size});
    }
    changed_.notify_all();
}

void ChunkWriter::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failure_ || (queued_.empty() && !writing_); });
    raise_failure();
}

std::uint64_t ChunkWriter::written() const {
    const std::lock_guard lock(mutex_);
    return written_;
}

void ChunkWriter::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || (!queued_.empty() && !failure_); });
        if (stopping_) {
            return;
        }
        Chunk chunk = std::move(queued_.front());
        queued_.pop_front();
        writing_ = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
            write(chunk);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        writing_ = false;
        if (failure) {
            failure_ = failure;
        } else {
            written_ += chunk.size;
        }
        free_.push_back(std::move(chunk.buffer));
        changed_.notify_all();
    }
}

void ChunkWriter::write(const Chunk& chunk) {
    if (const DWORD error =
            write_whole(file_, chunk.buffer.data(), static_cast<DWORD>(chunk.size))) {
        throw_win32_error(write_stage_, error);
    }
}

}  // namespace vorn
