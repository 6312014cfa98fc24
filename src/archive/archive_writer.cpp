#include "archive/archive_writer.h"

#include <algorithm>

#include "archive/pck_format.h"
#include "core/file_system.h"
#include "core/io_block.h"

namespace vorn {
namespace {

UniqueFile create_new(const std::filesystem::path& path) {
    UniqueFile file(CreateFileW(long_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        fail_archive("pck_rebase_stage", GetLastError());
    }
    return file;
}

}  // namespace

ArchiveWriter::ArchiveWriter(const std::filesystem::path& pck,
                             const std::optional<std::filesystem::path>& pkx)
    : pck_path_(pck), pkx_path_(pkx), pck_limit_(pkx ? pck_split_size : largest_pck) {
    pck_ = create_new(pck);
    if (pkx) {
        try {
            pkx_ = create_new(*pkx);
        } catch (...) {
            pck_.reset();
            DeleteFileW(long_path(pck).c_str());  // ours, just created: nothing else to keep
            throw;
        }
    }
}

ArchiveWriter::~ArchiveWriter() {
    if (kept_) {
        return;
    }
    // A failed rebuild leaves nothing behind: the outputs were created by this writer.
    pck_.reset();
    pkx_.reset();
    DeleteFileW(long_path(pck_path_).c_str());
    if (pkx_path_) {
        DeleteFileW(long_path(*pkx_path_).c_str());
    }
}

void ArchiveWriter::write_part(HANDLE file, const std::uint8_t* data, std::uint64_t size) {
    while (size > 0) {
        const auto chunk = static_cast<DWORD>(std::min<std::uint64_t>(size, io_block_size));
        if (const DWORD error = write_whole(file, data, chunk)) {
            fail_archive("pck_rebase_write", error);
        }
        data += chunk;
        size -= chunk;
    }
}

void ArchiveWriter::write(const std::uint8_t* data, std::uint64_t size) {
    if (size > largest_pck - written_) {
        fail_archive("pck_rebase_limit");
    }
    if (!pkx_ && written_ + size > pck_split_size) {
        fail_archive("pck_rebase_layout");
    }
    const std::uint64_t to_pck = written_ < pck_limit_ ? std::min(size, pck_limit_ - written_) : 0;
    write_part(pck_.get(), data, to_pck);
    if (to_pck < size) {
        write_part(pkx_.get(), data + to_pck, size - to_pck);
    }
    written_ += size;
}

void ArchiveWriter::patch_u32(std::uint64_t offset, std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(pck_.get(), position, nullptr, FILE_BEGIN)) {
        fail_archive("pck_rebase_seek", GetLastError());
    }
    write_part(pck_.get(), bytes, sizeof(bytes));
}

void ArchiveWriter::finish() {
    for (const UniqueFile* file : {&pck_, &pkx_}) {
        if (*file && !FlushFileBuffers(file->get())) {
            fail_archive("pck_rebase_flush", GetLastError());
        }
    }
    pck_.reset();
    pkx_.reset();
}

}  // namespace vorn
