#include "archive/pck_format.h"

#include "core/launcher_error.h"
#include "deployment_config.h"

namespace vorn {

const PckKeyPair& pck_key_pair(std::size_t which) {
    static const PckKeyPair pairs[2] = {
        {deployment::pck_keys_a[0], deployment::pck_keys_a[1]},
        {deployment::pck_keys_b[0], deployment::pck_keys_b[1]},
    };
    return pairs[which == 0 ? 0 : 1];
}

void fail_archive(const char* stage, std::uint32_t win32) {
    throw LauncherError(stage, L"Не удалось безопасно обновить архив клиента. Файлы не изменены.",
                        win32);
}

}  // namespace vorn
