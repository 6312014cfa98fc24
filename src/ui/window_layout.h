// Where everything sits on the 1100 x 620 window and in which colour: device pixels,
// never scaled (the process is DPI-aware and the art is drawn for this size).
#pragma once

#include <windows.h>

#include <array>

namespace vorn {

struct ButtonDef {
    int id;
    RECT rect;
    const wchar_t* label;
    bool link;
};

namespace layout {

inline constexpr int window_width = 1100;
inline constexpr int window_height = 620;

// Control identifiers.
inline constexpr int id_play = 1;
inline constexpr int id_update = 2;
inline constexpr int id_messenger = 3;
inline constexpr int id_account = 4;
inline constexpr int id_vote = 5;
inline constexpr int id_site = 6;
inline constexpr int id_icons = 9;
inline constexpr int id_check = 10;

inline constexpr std::array<ButtonDef, 8> buttons{{
    {id_play, {134, 407, 288, 468}, L"ИГРАТЬ", false},
    {id_update, {300, 407, 454, 468}, L"ОБНОВИТЬ", false},
    {id_check, {466, 407, 624, 468}, L"ПРОВЕРИТЬ", false},
    {id_icons, {642, 407, 702, 468}, L"ИКОНКИ", false},
    {id_messenger, {68, 498, 245, 575}, L"Telegram", true},
    {id_account, {258, 498, 437, 575}, L"Личный кабинет", true},
    {id_vote, {449, 498, 638, 575}, L"Голосовать", true},
    {id_site, {648, 498, 826, 575}, L"Сайт", true},
}};

inline constexpr RECT status_panel{166, 278, 710, 397};
inline constexpr RECT button_panel{128, 400, 710, 476};
inline constexpr RECT footer_bar{100, 582, 1090, 615};
inline constexpr RECT title_area{177, 286, 690, 316};
inline constexpr RECT detail_area{177, 318, 690, 341};
inline constexpr RECT progress_frame{177, 345, 645, 361};
inline constexpr RECT percent_area{651, 342, 699, 365};
inline constexpr RECT hint_area{177, 370, 702, 395};
inline constexpr RECT footer_left{103, 590, 690, 613};
inline constexpr RECT footer_right{695, 590, 1074, 613};

// The fill runs inside the frame: from x 178 over at most 466 pixels, y 346 to 360.
inline constexpr int progress_fill_left = 178;
inline constexpr int progress_fill_top = 346;
inline constexpr int progress_fill_bottom = 360;
inline constexpr int progress_fill_width = 466;

// The caption buttons are part of the art; these zones (inclusive) make them work.
inline constexpr int minimise_left = 1020, minimise_right = 1051;
inline constexpr int close_left = 1052, close_right = 1084;
inline constexpr int caption_zone_top = 12, caption_zone_bottom = 48;
// Above this line the window is dragged by its art.
inline constexpr int drag_bottom = 260;

}  // namespace layout

namespace colours {

inline constexpr COLORREF status_panel = RGB(8, 8, 8);
inline constexpr COLORREF footer_bar = RGB(8, 8, 8);
inline constexpr COLORREF button_panel = RGB(13, 12, 12);
inline constexpr COLORREF title = RGB(245, 240, 234);
inline constexpr COLORREF title_error = RGB(246, 68, 60);
inline constexpr COLORREF detail = RGB(206, 195, 186);
inline constexpr COLORREF progress_frame = RGB(76, 25, 26);
inline constexpr COLORREF progress_fill = RGB(210, 31, 35);
inline constexpr COLORREF percent = RGB(216, 48, 43);
inline constexpr COLORREF hint = RGB(184, 171, 160);
inline constexpr COLORREF footer_left = RGB(177, 164, 153);
inline constexpr COLORREF footer_right = RGB(208, 195, 184);

inline constexpr COLORREF face_normal = RGB(16, 13, 13);
inline constexpr COLORREF face_hover = RGB(45, 13, 13);
inline constexpr COLORREF face_pressed = RGB(55, 12, 12);
inline constexpr COLORREF face_off = RGB(26, 22, 22);
inline constexpr COLORREF border_normal = RGB(205, 39, 34);
inline constexpr COLORREF border_hover = RGB(255, 72, 60);
inline constexpr COLORREF border_off = RGB(84, 35, 35);
inline constexpr COLORREF inner_normal = RGB(80, 24, 23);
inline constexpr COLORREF inner_hover = RGB(130, 30, 28);
inline constexpr COLORREF label_on = RGB(242, 235, 228);
inline constexpr COLORREF label_off = RGB(112, 104, 101);
inline constexpr COLORREF glyph_on = RGB(232, 75, 65);
inline constexpr COLORREF glyph_off = RGB(112, 104, 101);
inline constexpr COLORREF link_outline = RGB(220, 46, 37);

}  // namespace colours

}  // namespace vorn
