#include "core/file_probes.h"

#include "core/file_system.h"
#include "core/launcher_error.h"

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
