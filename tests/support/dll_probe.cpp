// The control of the planted-DLL test: dll_probe NAME [--restricted] loads NAME by its
// bare name, as a delay-loaded import would, optionally after the programs' own DLL
// search limit. Without the limit a DLL planted beside it must be loaded, or the test
// could not tell a safe program from a harmless platform. Exit code 0 when NAME loaded,
// 1 when not, 2 when the limit could not be set.
#include <windows.h>

#include <string>

#include "core/system/dll_search.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    if (argc > 2 && std::wstring(argv[2]) == L"--restricted" &&
        !vorn::restrict_dll_search_to_system32()) {
        return 2;
    }
    return LoadLibraryW(argv[1]) != nullptr ? 0 : 1;
}
