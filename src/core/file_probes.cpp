#include "core/file_probes.h"

#include <optional>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/unique_handle.h"

namespace vorn {

bool file_exists(const std::filesystem::path& path) {
    if (file_attributes(path) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = GetLastError();
    if (is_not_found(error)) {
        return false;
    }
    throw LauncherError("local_state", L"Не удалось прочитать состояние клиента.", error);
}

void remove_file_if_present(const std::filesystem::path& path) {
    if (DeleteFileW(long_path(path).c_str())) {
        return;
    }
    const DWORD error = GetLastError();
    if (!is_not_found(error)) {
        throw LauncherError("local_state", L"Не удалось завершить сохранение состояния.", error);
    }
}

bool clear_read_only(const std::filesystem::path& path) {
    const DWORD attributes = file_attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return true;
    }
    return SetFileAttributesW(long_path(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) !=
           FALSE;
}

namespace {

std::optional<BY_HANDLE_FILE_INFORMATION> identity_of(const std::filesystem::path& path,
                                                      DWORD flags = 0) {
    // No access to the content is asked for: a running executable can still be opened.
    UniqueFile file(CreateFileW(long_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) {
        return std::nullopt;
    }
    return info;
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

bool is_same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
    try {
        const auto first = identity_of(a);
        const auto second = first ? identity_of(b) : std::nullopt;
        return second && same_identity(*first, *second);
    } catch (const std::exception&) {
        return false;  // a path that cannot even be formed names no file
    }
}

std::optional<FileIdentity> identity_of_open(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        return std::nullopt;
    }
    return FileIdentity{info.dwVolumeSerialNumber,
                        (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool names_file(const std::filesystem::path& path, const FileIdentity& identity) {
    try {
        const auto named = identity_of(path, FILE_FLAG_OPEN_REPARSE_POINT);
        return named && FileIdentity{named->dwVolumeSerialNumber,
                                     (std::uint64_t{named->nFileIndexHigh} << 32) |
                                         named->nFileIndexLow} == identity;
    } catch (const std::exception&) {
        return false;
    }
}

std::uint64_t client_file_size(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(long_path(path).c_str(), GetFileExInfoStandard, &data)) {
        // A size that cannot be read is an access problem of the client folder.
        throw LauncherError("local_io",
                            L"Не удалось завершить действие. Проверьте доступ к папке клиента.",
                            GetLastError());
    }
    return size_from_halves(data.nFileSizeHigh, data.nFileSizeLow);
}

}  // namespace vorn
