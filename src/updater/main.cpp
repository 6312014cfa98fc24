// The Unicode GUI entry of VornellUpdater.exe.
#include <windows.h>

#include "core/system/dll_search.h"
#include "updater/updater_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // The element folder is filled by the feed and by mods: limit the DLL search before
    // anything can load from it. Refusing leaves the launcher untouched, as any refusal.
    if (!vorn::restrict_dll_search_to_system32()) {
        return vorn::dll_search_refused_exit_code;
    }
    return vorn::updater_main(instance);
}
