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

}  // namespace vorn
