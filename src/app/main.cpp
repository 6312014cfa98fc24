// The Unicode GUI entry of VornellLauncher.exe.
#include <windows.h>

#include "app/launcher_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    return vorn::launcher_main(instance);
}
