// The path of the running program's own executable.
#pragma once

#include <filesystem>

namespace vorn {

// Throws LauncherError ("module_path") when Windows cannot name it.
std::filesystem::path running_program_path();

}  // namespace vorn
