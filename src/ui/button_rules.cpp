#include "ui/button_rules.h"

#include "deployment_config.h"

namespace vorn {

bool action_button_on(int id, const UiView& view) {
    if (view.busy) {
        return false;
    }
    if (id == layout::id_play) {
        return view.can_play;
    }
    if (id == layout::id_update) {
        return view.can_update;
    }
    return true;
}

bool button_enabled(const ButtonDef& button, const UiView& view, bool links_disabled) {
    return button.link ? !links_disabled : action_button_on(button.id, view);
}

std::optional<UiAction> action_for_click(int id, const UiView& view) {
    if (!action_button_on(id, view)) {
        return std::nullopt;
    }
    switch (id) {
        case layout::id_play:
            return UiAction::play;
        case layout::id_update:
            return UiAction::update;
        case layout::id_check:
            return UiAction::check;
        case layout::id_icons:
            return UiAction::icons;
        default:
            return std::nullopt;
    }
}

const wchar_t* link_address(int id) {
    switch (id) {
        case layout::id_messenger:
            return deployment::messenger_link;
        case layout::id_account:
            return deployment::account_link;
        case layout::id_vote:
            return deployment::vote_link;
        case layout::id_site:
            return deployment::site_link;
        default:
            return nullptr;
    }
}

}  // namespace vorn
