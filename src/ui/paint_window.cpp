#include "ui/paint_window.h"

#include <algorithm>

#include "build_info.h"
#include "model/ui_snapshot.h"
#include "ui/button_rules.h"
#include "ui/gdi_handles.h"

namespace vorn {
namespace {

constexpr UINT single_line = DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;
constexpr UINT centred_label = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;

void fill(HDC dc, const RECT& rect, COLORREF colour) {
    const UniqueBrush brush(CreateSolidBrush(colour));
    FillRect(dc, &rect, brush.get());
}

// An outline of pen width 1 with nothing filled inside.
void outline(HDC dc, const RECT& rect, COLORREF colour) {
    const UniquePen pen(CreatePen(PS_SOLID, 1, colour));
    const ScopedSelect use_pen(dc, pen.get());
    const ScopedSelect hollow(dc, GetStockObject(HOLLOW_BRUSH));
    Rectangle(dc, rect.left, rect.top, rect.right, rect.bottom);
}

void text(HDC dc, const std::wstring& value, RECT rect, HFONT font, COLORREF colour, UINT format) {
    const ScopedSelect use_font(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, value.c_str(), static_cast<int>(value.size()), &rect, format);
}

// The refresh arrow of the Icons button: an open circle with an arrow head at its end.
void draw_icons_glyph(HDC dc, const RECT& rect, COLORREF colour) {
    const int cx = (rect.left + rect.right) / 2;
    const int top = rect.top;
    const UniquePen pen(CreatePen(PS_SOLID, 2, colour));
    const ScopedSelect use_pen(dc, pen.get());
    Arc(dc, cx - 10, top + 13, cx + 10, top + 33, cx + 8, top + 17, cx + 10, top + 26);
    MoveToEx(dc, cx + 8, top + 14, nullptr);
    LineTo(dc, cx + 8, top + 21);
    LineTo(dc, cx + 1, top + 21);
}

}  // namespace

int clamped_percent(int percent) {
    return std::clamp(percent, 0, 100);
}

std::wstring footer_right_text(const std::wstring& client_version) {
    return std::wstring(L"Лаунчер ") + launcher_build_wide + L"  •  патч " +
           (client_version.empty() ? L"—" : client_version);
}

void draw_action_button(HDC dc, const RECT& rect, const ButtonDef& button, const UiView& view,
                        const Fonts& fonts, ButtonLook look) {
    const bool on = action_button_on(button.id, view);
    const COLORREF face = !on            ? colours::face_off
                          : look.pressed ? colours::face_pressed
                          : look.hover   ? colours::face_hover
                                         : colours::face_normal;
    fill(dc, rect, face);
    outline(dc, rect,
            !on          ? colours::border_off
            : look.hover ? colours::border_hover
                         : colours::border_normal);
    if (on) {
        const RECT inner{rect.left + 1, rect.top + 1, rect.right - 1, rect.bottom - 1};
        outline(dc, inner, look.hover ? colours::inner_hover : colours::inner_normal);
    }
    SetBkMode(dc, TRANSPARENT);
    const COLORREF label = on ? colours::label_on : colours::label_off;
    const std::wstring caption = button.label;
    if (button.id == layout::id_icons) {
        draw_icons_glyph(dc, rect, on ? colours::glyph_on : colours::glyph_off);
        const RECT below{rect.left + 2, rect.top + 38, rect.right - 2, rect.bottom - 3};
        text(dc, caption, below, fonts.small_text.get(), label, centred_label);
    } else {
        text(dc, caption, rect, fonts.small_text.get(), label, centred_label);
    }
    if (look.focus) {
        const RECT focus{rect.left + 5, rect.top + 5, rect.right - 5, rect.bottom - 5};
        DrawFocusRect(dc, &focus);
    }
}

void draw_link_tile(HDC dc, const RECT& rect, const ButtonDef& button, HDC background,
                    bool highlight) {
    BitBlt(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, background,
           button.rect.left, button.rect.top, SRCCOPY);
    if (highlight) {
        const RECT inside{rect.left + 2, rect.top + 2, rect.right - 2, rect.bottom - 2};
        outline(dc, inside, colours::link_outline);
    }
}

void paint_window(HDC dc, HDC background, const Fonts& fonts, const std::wstring& client_folder,
                  const UiView& view, bool draw_buttons) {
    BitBlt(dc, 0, 0, layout::window_width, layout::window_height, background, 0, 0, SRCCOPY);
    fill(dc, layout::status_panel, colours::status_panel);
    fill(dc, layout::button_panel, colours::button_panel);
    fill(dc, layout::footer_bar, colours::footer_bar);

    SetBkMode(dc, TRANSPARENT);
    text(dc, view.title, layout::title_area, fonts.title.get(),
         view.phase == Phase::error ? colours::title_error : colours::title, single_line);
    text(dc, view.detail, layout::detail_area, fonts.detail.get(), colours::detail, single_line);

    outline(dc, layout::progress_frame, colours::progress_frame);
    const int percent = clamped_percent(view.percent);
    if (percent > 0) {
        const RECT bar{layout::progress_fill_left, layout::progress_fill_top,
                       layout::progress_fill_left + percent * layout::progress_fill_width / 100,
                       layout::progress_fill_bottom};
        fill(dc, bar, colours::progress_fill);
    }
    text(dc, std::to_wstring(percent) + L"%", layout::percent_area, fonts.small_text.get(),
         colours::percent, single_line);
    text(dc, view.hint, layout::hint_area, fonts.small_text.get(), colours::hint, single_line);
    text(dc, L"Клиент: " + client_folder, layout::footer_left, fonts.small_text.get(),
         colours::footer_left, single_line);
    text(dc, footer_right_text(view.client_version), layout::footer_right, fonts.small_text.get(),
         colours::footer_right, single_line | DT_RIGHT);

    if (draw_buttons) {
        for (const ButtonDef& button : layout::buttons) {
            if (!button.link) {
                draw_action_button(dc, button.rect, button, view, fonts, {});
            }
        }
    }
}

}  // namespace vorn
