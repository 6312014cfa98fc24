// The Unicode GUI entry of VornellUpdater.exe.
#include <windows.h>

#include "updater/updater_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    return vorn::updater_main(instance);
}
