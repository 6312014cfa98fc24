#include "support/temp_dir.h"

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "core/identifiers.h"
#include "core/text.h"

namespace vorn::test {

ScopedTempDir::ScopedTempDir() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("GetTempPathW failed");
    }
    path_ = std::filesystem::path(std::wstring(buffer, length)) /
            (L"vorn-test-" + to_utf16(random_hex(8)));
    std::filesystem::create_directories(path_);
}

ScopedTempDir::~ScopedTempDir() {
    std::error_code ignored;  // a folder left behind in %TEMP% must not fail the test
    std::filesystem::remove_all(path_, ignored);
}

void write_raw_file(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write test file");
    }
}

std::string read_raw_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read test file");
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::wstring> names_in(const std::filesystem::path& dir) {
    std::vector<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace vorn::test
