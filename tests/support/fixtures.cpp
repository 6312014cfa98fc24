#include "support/fixtures.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace vorn::test {

std::optional<std::filesystem::path> fixture_dir(const char* name) {
    const char* root = std::getenv("VORN_TEST_FIXTURES");
    if (root == nullptr || *root == '\0') {
        return std::nullopt;
    }
    std::string text = root;
    // A Linux path from CTest: Wine shows the Linux root as drive Z:.
    if (text.front() == '/') {
        text = "Z:" + text;
    }
    std::filesystem::path dir = std::filesystem::path(text).make_preferred() / name;
    if (!std::filesystem::exists(dir)) {
        return std::nullopt;
    }
    return dir;
}

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace vorn::test
