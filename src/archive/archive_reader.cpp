#include "archive/archive_reader.h"

#include <algorithm>

#include "archive/pck_format.h"
#include "core/file_system.h"
#include "core/io_block.h"

namespace vorn {
namespace {

// Made absolute, and no existing component a link or a junction.
std::filesystem::path checked_archive_path(const std::filesystem::path& path) {
    std::filesystem::path absolute;
    try {
        absolute = absolute_normal(path);
    } catch (const std::exception&) {
        fail_archive("pck_rebase_path");
    }
    const LinkWalk walk = walk_for_links(absolute.root_path(), absolute.relative_path());
    if (walk.unreadable != ERROR_SUCCESS) {
        fail_archive("pck_rebase_path", walk.unreadable);
    }
    if (walk.link) {
        fail_archive("pck_rebase_reparse");
    }
    return absolute;
}

struct OpenedFile {
    UniqueFile handle;
    std::uint64_t size = 0;
};

OpenedFile open_part(const std::filesystem::path& path) {
    const std::filesystem::path absolute = checked_archive_path(path);
    OpenedFile opened;
    opened.handle.reset(CreateFileW(
        long_path(absolute).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS,
        nullptr));
    if (!opened.handle) {
        fail_archive("pck_rebase_read", GetLastError());
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    LARGE_INTEGER size{};
    if (!GetFileInformationByHandleEx(opened.handle.get(), FileAttributeTagInfo, &tag,
                                      sizeof(tag)) ||
        !GetFileSizeEx(opened.handle.get(), &size)) {
        fail_archive("pck_rebase_read", GetLastError());
    }
    if ((tag.FileAttributes & link_or_directory_mask) != 0) {
        fail_archive("pck_rebase_reparse");
    }
    opened.size = static_cast<std::uint64_t>(size.QuadPart);
    return opened;
}

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    if (!GetFileInformationByHandle(a, &first) || !GetFileInformationByHandle(b, &second)) {
        fail_archive("pck_rebase_read", GetLastError());
    }
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace

ArchiveReader open_archive_pair(const std::filesystem::path& pck,
                                const std::optional<std::filesystem::path>& pkx) {
    ArchiveReader reader;
    OpenedFile main = open_part(pck);
    OpenedFile continuation;
    if (pkx) {
        continuation = open_part(*pkx);
        if (same_file(main.handle.get(), continuation.handle.get())) {
            fail_archive("pck_rebase_alias");
        }
    }
    if (continuation.size > largest_pkx || main.size == 0 || main.size > pck_split_size ||
        (continuation.size != 0 && main.size != pck_split_size)) {
        fail_archive("pck_rebase_layout");
    }
    reader.size_ = main.size + continuation.size;
    if (reader.size_ < smallest_pck || reader.size_ > largest_pck) {
        fail_archive("pck_rebase_limit");
    }
    reader.pck_size_ = main.size;
    reader.pck_ = std::move(main.handle);
    if (continuation.size != 0) {
        reader.pkx_ = std::move(continuation.handle);  // a .pkx of zero bytes counts as absent
    }
    return reader;
}

ArchiveReader open_archive_file(const std::filesystem::path& pck, std::uint64_t largest) {
    ArchiveReader reader;
    OpenedFile file = open_part(pck);
    if (file.size > largest) {
        fail_archive("pck_rebase_limit");
    }
    reader.size_ = file.size;
    reader.pck_size_ = file.size;
    reader.pck_ = std::move(file.handle);
    return reader;
}

ArchiveReader open_tail_view(const std::filesystem::path& tail, std::uint64_t start) {
    ArchiveReader reader;
    OpenedFile file = open_part(tail);
    if (start == 0 || start > largest_pck || file.size > largest_pck - start) {
        fail_archive("pck_rebase_limit");
    }
    reader.size_ = start + file.size;
    reader.start_ = start;
    reader.pck_size_ = file.size;
    reader.pck_ = std::move(file.handle);
    return reader;
}

void ArchiveReader::read_file(HANDLE file, std::uint64_t at, std::uint8_t* buffer,
                              std::uint64_t length) const {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(at);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        fail_archive("pck_rebase_seek", GetLastError());
    }
    while (length > 0) {
        const auto chunk = static_cast<DWORD>(std::min<std::uint64_t>(length, io_block_size));
        DWORD got = 0;
        if (!ReadFile(file, buffer, chunk, &got, nullptr)) {
            fail_archive("pck_rebase_read", GetLastError());
        }
        if (got != chunk) {
            fail_archive("pck_rebase_read");
        }
        buffer += got;
        length -= got;
    }
}

void ArchiveReader::read(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) const {
    if (offset > size_ || length > size_ - offset) {
        fail_archive("pck_rebase_span");
    }
    if (offset < start_) {
        fail_archive("pck_rebase_tail");
    }
    if (is_tail_view()) {
        read_file(pck_.get(), offset - start_, buffer, length);
        return;
    }
    // Logical offset x lies in the .pck below the split size and at x - split in the .pkx.
    const std::uint64_t in_pck = offset < pck_size_ ? std::min(length, pck_size_ - offset) : 0;
    if (in_pck > 0) {
        read_file(pck_.get(), offset, buffer, in_pck);
    }
    if (in_pck < length) {
        if (!pkx_) {
            fail_archive("pck_rebase_layout");
        }
        read_file(pkx_.get(), offset + in_pck - pck_split_size, buffer + in_pck, length - in_pck);
    }
}

Bytes ArchiveReader::read(std::uint64_t offset, std::uint64_t length) const {
    Bytes bytes(static_cast<std::size_t>(length));
    read(offset, bytes.data(), length);
    return bytes;
}

}  // namespace vorn
