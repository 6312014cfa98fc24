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
    std::filesystem::path dir = from_linux_path(root) / name;
    if (!std::filesystem::exists(dir)) {
        return std::nullopt;
    }
    return dir;
}

std::filesystem::path from_linux_path(const std::string& path) {
    const std::string text = !path.empty() && path.front() == '/' ? "Z:" + path : path;
    return std::filesystem::path(text).make_preferred();
}

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace vorn::test
