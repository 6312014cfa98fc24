#include "engine/client_paths.h"

#include <windows.h>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "engine/update_engine.h"

namespace vorn {

void require_local_path_length(const std::filesystem::path& path) {
    if (path.native().size() > longest_local_path) {
        throw LauncherError(
            "local_path_length",
            L"Путь к клиенту слишком длинный. Переместите клиент в более короткую папку.",
            ERROR_FILENAME_EXCED_RANGE);
    }
}

std::filesystem::path resolve_client_path(const UpdateEngine& engine, std::string_view relative,
                                          bool check_links) {
    std::filesystem::path path = resolve_relative_path(engine.root, relative, check_links);
    require_local_path_length(path);
    return path;
}

namespace {

bool is_not_found(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

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

}  // namespace vorn
