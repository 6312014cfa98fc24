#include "core/system/dll_search.h"

#include <windows.h>

namespace vorn {

bool restrict_dll_search_to_system32() noexcept {
    // Looked up rather than imported: an import missing from an unpatched Windows 7 would
    // stop the program with the loader's dialog instead of our exit code.
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return false;
    }
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    return set_default_dll_directories != nullptr &&
           set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

}  // namespace vorn
