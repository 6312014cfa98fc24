// A stand-in for the updater component in the hand-over tests. What it does is read from
// "fake-updater-mode.txt" beside it: "signal" sets the ready event the command line names
// and stays alive for a few seconds; "exit" ends at once; "hang" stays alive without a
// signal. Either way it first writes its arguments, one a line, to "fake-updater-args.txt".
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring mode_path(self);
    mode_path = mode_path.substr(0, mode_path.find_last_of(L'\\') + 1) + L"fake-updater-mode.txt";
    std::string mode;
    std::ifstream(std::filesystem::path(mode_path)) >> mode;
    std::wofstream args(std::filesystem::path(mode_path).parent_path() / "fake-updater-args.txt",
                        std::ios::binary);
    for (int i = 1; i < argc; ++i) {
        args << argv[i] << L"\n";
    }
    args.close();
    if (mode == "exit") {
        return 0;
    }
    const bool restore = argc >= 2 && std::wstring(argv[1]) == L"--restore";
    if (mode == "signal" && argc >= (restore ? 6 : 8)) {
        // argv: --apply PID RUNNING STAGED SHA256 ID BUILD, or --restore PID RUNNING SHA256 ID
        const std::wstring name =
            std::wstring(L"Local\\VornellUpdaterReadyV1-") + argv[2] + L"-" + argv[restore ? 5 : 6];
        const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        if (ready) {
            SetEvent(ready);
            CloseHandle(ready);
        }
        Sleep(5000);
        return 0;
    }
    Sleep(60000);
    return 0;
}
