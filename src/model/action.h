// The engine's four operations.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorn {

enum class Action : std::int32_t { startup = 0, check = 1, update = 2, icons = 3 };

// "startup", "check", "update", "icons": the words of the command line and of reports.
std::string_view action_name(Action action);
std::optional<Action> action_from_name(std::wstring_view word);

}  // namespace vorn
