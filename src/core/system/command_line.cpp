#include "core/system/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <stdexcept>

#include "core/unique_handle.h"

namespace vorn {

std::vector<std::wstring> command_line_arguments() {
    int count = 0;
    UniqueLocalMemory array(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!array) {
        throw std::runtime_error("command line parsing failed");
    }
    auto* const* words = static_cast<LPWSTR*>(array.get());
    std::vector<std::wstring> arguments;
    for (int i = 1; i < count; ++i) {
        arguments.emplace_back(words[i]);
    }
    return arguments;
}

}  // namespace vorn
