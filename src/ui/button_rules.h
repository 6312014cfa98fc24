// Which buttons are usable for a view, and what a click on each one asks for.
#pragma once

#include <optional>

#include "model/ui_view.h"
#include "ui/window_layout.h"

namespace vorn {

// An action button is on when not busy and its action applies: Play needs can_play,
// Update needs can_update, Check and Icons are always available.
bool action_button_on(int id, const UiView& view);

// Links are usable unless the run is a local test (their pages are the real project's).
bool button_enabled(const ButtonDef& button, const UiView& view, bool links_disabled);

// The action a click on an action button asks for, or none when the button is off.
std::optional<UiAction> action_for_click(int id, const UiView& view);

// The address a link tile opens; null for an identifier that is not a link.
const wchar_t* link_address(int id);

}  // namespace vorn
