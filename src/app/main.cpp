// The Unicode GUI entry of VornellLauncher.exe.
#include <windows.h>

#include "app/launcher_main.h"
#include "core/system/dll_search.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // The client's root folder may hold planted DLLs: limit the search before anything
    // can load one. Without that limit no message box either, since showing one loads
    // DLLs (themes, common controls) through the unsafe search.
    if (!vorn::restrict_dll_search_to_system32()) {
        return vorn::dll_search_refused_exit_code;
    }
    return vorn::launcher_main(instance);
}
