#include "model/ui_view.h"

#include "core/text.h"

namespace vorn {

UiView to_ui_view(const UiSnapshot& snapshot) {
    UiView view;
    view.phase = snapshot.phase;
    view.percent = snapshot.percent;
    view.title = snapshot.title;
    view.detail = snapshot.detail;
    view.hint = snapshot.hint;
    try {
        view.client_version = to_utf16(snapshot.client_version);
    } catch (const std::exception&) {
        view.client_version.clear();
    }
    view.busy = snapshot.busy;
    view.can_play = snapshot.can_play;
    view.can_update = snapshot.can_update;
    return view;
}

Action engine_action_for(UiAction action) {
    switch (action) {
        case UiAction::update:
            return Action::update;
        case UiAction::check:
            return Action::check;
        case UiAction::icons:
            return Action::icons;
        default:
            return Action::startup;
    }
}

}  // namespace vorn
