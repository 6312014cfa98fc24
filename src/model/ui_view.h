// The window's copy of a view, and the actions the window asks for.
#pragma once

#include <cstdint>
#include <string>

#include "model/action.h"
#include "model/ui_snapshot.h"

namespace vorn {

// The nine fields of a UiSnapshot, the client version as UTF-16.
struct UiView {
    Phase phase = Phase::checking;
    std::int32_t percent = 0;
    std::wstring title = L"Проверка обновлений";
    std::wstring detail = L"Подключение к серверу обновлений…";
    std::wstring hint;
    std::wstring client_version;
    bool busy = true;
    bool can_play = false;
    bool can_update = true;
};

// Invalid UTF-8 in the version shows as no version rather than failing a publish.
UiView to_ui_view(const UiSnapshot& snapshot);

enum class UiAction : std::int32_t { startup = 0, play = 1, update = 2, check = 3, icons = 4 };

// play labels its reports as startup; any unknown value is startup.
Action engine_action_for(UiAction action);

}  // namespace vorn
