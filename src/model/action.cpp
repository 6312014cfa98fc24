#include "model/action.h"

#include <array>
#include <utility>

namespace vorn {
namespace {

struct ActionWord {
    Action action;
    std::string_view name;
    std::wstring_view wide;
};

constexpr std::array<ActionWord, 4> action_words = {{
    {Action::startup, "startup", L"startup"},
    {Action::check, "check", L"check"},
    {Action::update, "update", L"update"},
    {Action::icons, "icons", L"icons"},
}};

}  // namespace

std::string_view action_name(Action action) {
    for (const ActionWord& word : action_words) {
        if (word.action == action) {
            return word.name;
        }
    }
    return "unknown";
}

std::optional<Action> action_from_name(std::wstring_view word) {
    for (const ActionWord& entry : action_words) {
        if (entry.wide == word) {
            return entry.action;
        }
    }
    return std::nullopt;
}

}  // namespace vorn
