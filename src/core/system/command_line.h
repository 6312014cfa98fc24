// The program's own command line, split the way the C runtime splits it.
#pragma once

#include <string>
#include <vector>

namespace vorn {

// The arguments after the program path. Throws std::runtime_error when Windows cannot
// split the line.
std::vector<std::wstring> command_line_arguments();

}  // namespace vorn
