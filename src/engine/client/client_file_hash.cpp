#include "engine/client/client_file_hash.h"

#include "core/file_system.h"
#include "core/launcher_error.h"

namespace vorn {

std::string hash_client_file(const std::filesystem::path& path, const HashProgress& progress) {
    if (!is_plain_file(path)) {
        throw LauncherError("file_safety", L"Файл клиента недоступен или является ссылкой.");
    }
    return sha256_file(path, progress);
}

std::string copy_client_file(const std::filesystem::path& path, const std::filesystem::path& target,
                             const HashProgress& progress) {
    if (!is_plain_file(path)) {
        throw LauncherError("file_safety", L"Файл клиента недоступен или является ссылкой.");
    }
    try {
        return copy_file_hashed(path, target, progress);
    } catch (const LauncherError& error) {
        if (error.stage != "write_file") {
            throw;
        }
        throw LauncherError("backup_write",
                            is_disk_full(error.win32)
                                ? disk_full_message
                                : L"Не удалось сохранить резервную копию файла.",
                            error.win32);
    }
}

}  // namespace vorn
