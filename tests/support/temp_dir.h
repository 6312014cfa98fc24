// A fresh folder per test, removed with everything in it at the end of the scope.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vorn::test {

class ScopedTempDir {
  public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }

  private:
    std::filesystem::path path_;
};

// Writes bytes (or text) to a file directly, bypassing the layer under test.
void write_raw_file(const std::filesystem::path& path, const std::string& content);
std::string read_raw_file(const std::filesystem::path& path);

// The names in a folder, sorted.
std::vector<std::wstring> names_in(const std::filesystem::path& dir);

}  // namespace vorn::test
