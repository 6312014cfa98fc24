// Writes a download's chunks on a thread of its own, in order, so the next network read
// is not held up by the disk.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn {

class ChunkWriter {
  public:
    using Buffer = std::vector<std::uint8_t>;

    // `file` stays owned by the caller and open until finish() returned or this is gone.
    // A failed write raises `write_stage` with the Win32 code.
    ChunkWriter(HANDLE file, std::size_t chunk_size, const char* write_stage);
    ~ChunkWriter();  // stop()
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;

    // A buffer of chunk_size bytes to read into; waits while every buffer is queued. Raises
    // the writer's failure once it has one.
    Buffer take_buffer();

    // Queues the first `size` bytes of `buffer` for one WriteFile.
    void push(Buffer buffer, std::size_t size);

    // Waits until every queued chunk is written; raises the writer's failure.
    void finish();

    // Lets the chunk being written finish, drops the rest and ends the thread: after it no
    // byte reaches the file.
    void stop();

    // Bytes written to the file so far.
    std::uint64_t written() const;

  private:
    struct Chunk {
        Buffer buffer;
        std::size_t size = 0;
    };

    void work();
    void write(const Chunk& chunk);
    void raise_failure();  // with mutex_ held

    HANDLE file_;
    const char* write_stage_;
    std::size_t chunk_size_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> queued_;
    std::vector<Buffer> free_;
    std::size_t buffers_made_ = 0;
    bool writing_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::uint64_t written_ = 0;
    std::thread thread_;
};

}  // namespace vorn
