#include "app/instance_mutex.h"

#include <windows.h>

#include "core/client_key.h"
#include "core/launcher_error.h"
#include "core/text.h"

namespace vorn {

std::wstring instance_mutex_name(const std::wstring& root) {
    return L"Local\\VornellLauncher-" + to_utf16(client_key(root));
}

InstanceLock acquire_instance_lock(const std::wstring& root) {
    const std::wstring name = instance_mutex_name(root);
    InstanceLock lock;
    lock.mutex.reset(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!lock.mutex) {
        throw LauncherError("instance_mutex", L"Не удалось подготовить запуск лаунчера.",
                            GetLastError());
    }
    lock.already_running = GetLastError() == ERROR_ALREADY_EXISTS;
    return lock;
}

}  // namespace vorn
