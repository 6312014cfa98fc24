// The one paint routine of the window, shared by WM_PAINT and the off-screen preview,
// and the drawing of the owner-drawn buttons.
#pragma once

#include <windows.h>

#include <string>

#include "model/ui_view.h"
#include "ui/fonts.h"
#include "ui/window_layout.h"

namespace vorn {

// The bar's percent: 0 to 100 whatever the worker sent.
int clamped_percent(int percent);
// "Лаунчер <build>  •  патч <version>", with "—" for an unknown version.
std::wstring footer_right_text(const std::wstring& client_version);

// Draws the whole 1100 x 620 picture. The action buttons are drawn only when
// `draw_buttons` is set: in the window they are child windows that draw themselves.
void paint_window(HDC dc, HDC background, const Fonts& fonts, const std::wstring& client_folder,
                  const UiView& view, bool draw_buttons);

struct ButtonLook {
    bool hover = false;
    bool pressed = false;
    bool focus = false;
};

// An action button in `rect` of `dc`, on or off as the view says.
void draw_action_button(HDC dc, const RECT& rect, const ButtonDef& button, const UiView& view,
                        const Fonts& fonts, ButtonLook look);

// A link tile: its own piece of the background art, outlined while hovered or focused.
void draw_link_tile(HDC dc, const RECT& rect, const ButtonDef& button, HDC background,
                    bool highlight);

}  // namespace vorn
