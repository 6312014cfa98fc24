// The launcher's one window: fixed 1100 x 620, skinned, painted over its background art.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "model/ui_view.h"
#include "ui/ui_channel.h"

namespace vorn {

// Runs the window and its message loop on the calling (main) thread until it closes.
// `on_ready` is called once the window exists; `on_action` for every accepted click.
// Returns the exit code: 0 after a normal close, 2 when the window could not be set up.
// Throws LauncherError "window_setup" when the background art cannot be loaded.
int run_window(HINSTANCE instance, const std::wstring& client_folder,
               std::shared_ptr<UiChannel> channel, std::function<void(UiAction)> on_action,
               std::function<void()> on_ready, bool links_disabled);

}  // namespace vorn
