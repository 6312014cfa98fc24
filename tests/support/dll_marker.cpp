// A DLL that stands in for one planted in a client folder: copied under a system DLL's
// name, it records every process that loads it. On attach it writes a file into the
// folder named by VORN_DLL_MARKER_DIR (beside itself when that is not set), named after
// itself and the process, holding both paths, so a failing test says who loaded what.
#include <windows.h>

#include <string>

namespace {

std::wstring module_path(HMODULE module) {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring marker_folder(const std::wstring& own_path) {
    std::wstring folder(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"VORN_DLL_MARKER_DIR", folder.data(),
                                                 static_cast<DWORD>(folder.size()));
    if (length == 0 || length >= folder.size()) {
        return own_path.substr(0, own_path.find_last_of(L'\\'));
    }
    folder.resize(length);
    return folder;
}

void write_marker(HMODULE self) {
    const std::wstring own = module_path(self);
    const std::wstring name = own.substr(own.find_last_of(L'\\') + 1);
    const std::wstring marker = marker_folder(own) + L"\\" + name + L"." +
                                std::to_wstring(GetCurrentProcessId()) + L".loaded";
    const std::wstring text = own + L"\r\n" + module_path(nullptr) + L"\r\n";
    const HANDLE file =
        CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;  // nothing to report to from inside DllMain; the test sees no marker
    }
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
              nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        write_marker(self);
    }
    return TRUE;
}
