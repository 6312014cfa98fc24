// The launcher's command line.
#pragma once

#include <string>
#include <vector>

#include "model/action.h"

namespace vorn {

struct LaunchOptions {
    std::wstring qa_config_path;
    std::wstring qa_result_path;
    std::wstring preview_output_path;
    std::string health_token;  // UTF-8
    std::wstring preview_state = L"idle";
    Action qa_action = Action::startup;
    bool has_qa_action = false;
    bool has_health_token = false;
};

// Parses the arguments after the program name. Throws std::invalid_argument with one of
// the fixed option-error texts; each option may be given once.
LaunchOptions parse_launch_options(const std::vector<std::wstring>& args);

}  // namespace vorn
