#include "core/system/module_path.h"

#include <windows.h>

#include <string>

#include "core/launcher_error.h"

namespace vorn {

std::filesystem::path running_program_path() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        throw_win32_error("module_path", GetLastError());
    }
    path.resize(length);
    return path;
}

}  // namespace vorn
