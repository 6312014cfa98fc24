// The off-screen preview: one sample state of the window rendered into a PNG.
#pragma once

#include <windows.h>

#include <string>

#include "model/ui_view.h"

namespace vorn {

// "idle", "update", "busy", "error", "unverified"; std::invalid_argument
// "unknown preview state" for any other word.
UiView make_preview_view(const std::wstring& state);

// True only when the PNG was written.
bool render_preview(HINSTANCE instance, const std::wstring& client_folder, const UiView& view,
                    const std::wstring& png_path);

}  // namespace vorn
