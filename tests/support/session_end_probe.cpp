// Asks the updater's window whether the session may end, as Windows does at a logoff, and
// says what it answered: exit 0 when it refused, 1 when it allowed it, 2 when there is no
// updater window.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain() {
    const HWND window = FindWindowW(L"VornellUpdaterWindow", nullptr);
    if (!window) {
        // Name the windows there are, for the test's message.
        EnumWindows(
            [](HWND found, LPARAM) -> BOOL {
                wchar_t name[128] = {};
                GetClassNameW(found, name, 128);
                std::wprintf(L"%ls\n", name);
                return TRUE;
            },
            0);
        return 2;
    }
    DWORD_PTR answer = TRUE;
    if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000,
                             &answer)) {
        std::puts("the updater window did not answer");
        return 2;
    }
    std::puts(answer ? "allowed" : "refused");
    return answer ? 1 : 0;
}
