#include "ui/main_window.h"

#include <shellapi.h>
#include <windowsx.h>

#include <array>
#include <utility>

#include "core/launcher_error.h"
#include "core/system/gdiplus_session.h"
#include "ui/background.h"
#include "ui/button_rules.h"
#include "ui/fonts.h"
#include "ui/gdi_handles.h"
#include "ui/paint_window.h"
#include "ui/window_layout.h"

namespace vorn {
namespace {

constexpr wchar_t class_name[] = L"VornellSourceLauncher202610165";
constexpr wchar_t window_caption[] = L"Vornell";
constexpr wchar_t wait_hint[] = L"Дождитесь завершения текущей операции.";
constexpr wchar_t background_failed[] = L"Не удалось загрузить оформление лаунчера.";
constexpr int exit_setup_failed = 2;

struct ButtonRecord {
    ButtonDef def{};
    HWND window = nullptr;
    WNDPROC previous = nullptr;
    bool hover = false;
};

struct LauncherWindow {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    std::wstring client_folder;
    std::shared_ptr<UiChannel> channel;
    std::function<void(UiAction)> on_action;
    std::function<void()> on_ready;
    bool links_disabled = false;
    UiView view;
    std::unique_ptr<Background> background;
    Fonts fonts;
    std::array<ButtonRecord, layout::buttons.size()> buttons{};
};

bool in_range(LONG value, int low, int high) {
    return value >= low && value <= high;
}

bool in_minimise_zone(POINT point) {
    return in_range(point.x, layout::minimise_left, layout::minimise_right) &&
           in_range(point.y, layout::caption_zone_top, layout::caption_zone_bottom);
}

bool in_close_zone(POINT point) {
    return in_range(point.x, layout::close_left, layout::close_right) &&
           in_range(point.y, layout::caption_zone_top, layout::caption_zone_bottom);
}

HCURSOR hand_cursor() {
    return LoadCursorW(nullptr, IDC_HAND);
}

void update_buttons(LauncherWindow& state) {
    for (ButtonRecord& record : state.buttons) {
        if (record.window) {
            EnableWindow(record.window,
                         button_enabled(record.def, state.view, state.links_disabled));
            InvalidateRect(record.window, nullptr, FALSE);
        }
    }
    InvalidateRect(state.window, nullptr, FALSE);
}

LRESULT CALLBACK button_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* record = reinterpret_cast<ButtonRecord*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!record) {
        return DefWindowProcW(window, message, wparam, lparam);
    }
    switch (message) {
        case WM_MOUSEMOVE:
            if (!record->hover) {
                record->hover = true;
                TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, window, 0};
                TrackMouseEvent(&track);
                InvalidateRect(window, nullptr, FALSE);
            }
            break;
        case WM_MOUSELEAVE:
            record->hover = false;
            InvalidateRect(window, nullptr, FALSE);
            break;
        case WM_SETCURSOR:
            if (IsWindowEnabled(window)) {
                SetCursor(hand_cursor());
                return TRUE;
            }
            break;
        default:
            break;
    }
    return CallWindowProcW(record->previous, window, message, wparam, lparam);
}

bool create_buttons(LauncherWindow& state) {
    for (std::size_t i = 0; i < layout::buttons.size(); ++i) {
        const ButtonDef& def = layout::buttons[i];
        ButtonRecord& record = state.buttons[i];
        record.def = def;
        record.window = CreateWindowExW(
            0, L"BUTTON", def.label, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW,
            def.rect.left, def.rect.top, def.rect.right - def.rect.left,
            def.rect.bottom - def.rect.top, state.window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(def.id)), state.instance, nullptr);
        if (!record.window) {
            return false;
        }
        SetWindowLongPtrW(record.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&record));
        record.previous = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            record.window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&button_proc)));
    }
    return true;
}

void on_command(LauncherWindow& state, int id) {
    if (const wchar_t* address = link_address(id)) {
        if (!state.links_disabled) {
            ShellExecuteW(state.window, L"open", address, nullptr, nullptr, SW_SHOWNORMAL);
        }
        return;
    }
    if (const auto action = action_for_click(id, state.view); action && state.on_action) {
        state.on_action(*action);
    }
}

void on_draw_item(LauncherWindow& state, const DRAWITEMSTRUCT& item) {
    for (const ButtonRecord& record : state.buttons) {
        if (record.window != item.hwndItem) {
            continue;
        }
        const bool focus = (item.itemState & ODS_FOCUS) != 0;
        if (record.def.link) {
            draw_link_tile(item.hDC, item.rcItem, record.def, state.background->dc(),
                           record.hover || focus);
        } else {
            draw_action_button(item.hDC, item.rcItem, record.def, state.view, state.fonts,
                               {record.hover, (item.itemState & ODS_SELECTED) != 0, focus});
        }
        return;
    }
}

// Double-buffered: the whole picture goes to a memory bitmap, then to the window at once.
void on_paint(LauncherWindow& state) {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(state.window, &paint);
    if (!dc) {
        return;
    }
    {
        const UniqueMemoryDc memory(CreateCompatibleDC(dc));
        const UniqueBitmap picture(
            CreateCompatibleBitmap(dc, layout::window_width, layout::window_height));
        if (memory && picture) {
            const ScopedSelect use_picture(memory.get(), picture.get());
            paint_window(memory.get(), state.background->dc(), state.fonts, state.client_folder,
                         state.view, false);
            BitBlt(dc, 0, 0, layout::window_width, layout::window_height, memory.get(), 0, 0,
                   SRCCOPY);
        }
    }
    EndPaint(state.window, &paint);
}

POINT client_point_of_cursor(HWND window) {
    POINT point{};
    GetCursorPos(&point);
    ScreenToClient(window, &point);
    return point;
}

LRESULT on_create(LauncherWindow& state) {
    if (!create_buttons(state)) {
        return -1;
    }
    if (state.channel) {
        state.channel->attach(state.window);
    }
    update_buttons(state);
    PostMessageW(state.window, wm_window_ready, 0, 0);
    return 0;
}

void on_view_changed(LauncherWindow& state) {
    if (state.channel) {
        state.view = state.channel->take_view();
    }
    update_buttons(state);
}

// The top strip drags the window, except the minimise and close zones.
LRESULT on_hit_test(HWND window, LPARAM lparam) {
    POINT point{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
    ScreenToClient(window, &point);
    if (point.y >= layout::drag_bottom || in_minimise_zone(point) || in_close_zone(point)) {
        return HTCLIENT;
    }
    return HTCAPTION;
}

bool on_set_cursor(HWND window) {
    const POINT point = client_point_of_cursor(window);
    if (in_minimise_zone(point) || in_close_zone(point)) {
        SetCursor(hand_cursor());
        return true;
    }
    return false;
}

void on_left_button_up(HWND window, LPARAM lparam) {
    const POINT point{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
    if (in_minimise_zone(point)) {
        ShowWindow(window, SW_MINIMIZE);
    } else if (in_close_zone(point)) {
        SendMessageW(window, WM_CLOSE, 0, 0);
    }
}

void on_close(LauncherWindow& state) {
    // An update cannot be abandoned half-way: ask the player to wait instead.
    if (state.view.busy) {
        state.view.hint = wait_hint;
        InvalidateRect(state.window, &layout::status_panel, FALSE);
    } else {
        DestroyWindow(state.window);
    }
}

void on_destroy(LauncherWindow& state) {
    if (state.channel) {
        state.channel->detach();
    }
    PostQuitMessage(0);
}

// The window's state travels in GWLP_USERDATA from WM_NCCREATE on.
LauncherWindow* attach_state(HWND window, UINT message, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        auto* state = static_cast<LauncherWindow*>(create->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
        state->window = window;
        return nullptr;  // nothing to handle yet
    }
    return reinterpret_cast<LauncherWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    LauncherWindow* state = attach_state(window, message, lparam);
    if (!state) {
        return DefWindowProcW(window, message, wparam, lparam);
    }
    switch (message) {
        case WM_CREATE:
            return on_create(*state);
        case wm_window_ready:
            if (state->on_ready) {
                state->on_ready();
            }
            return 0;
        case wm_view_changed:
            on_view_changed(*state);
            return 0;
        case wm_close_now:
            DestroyWindow(window);
            return 0;
        case WM_COMMAND:
            if (HIWORD(wparam) == 0) {
                on_command(*state, LOWORD(wparam));
            }
            return 0;
        case WM_DRAWITEM:
            on_draw_item(*state, *reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
            return TRUE;
        case WM_PAINT:
            on_paint(*state);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_NCHITTEST:
            return on_hit_test(window, lparam);
        case WM_SETCURSOR:
            if (on_set_cursor(window)) {
                return TRUE;
            }
            break;
        case WM_LBUTTONUP:
            on_left_button_up(window, lparam);
            return 0;
        case WM_CLOSE:
            on_close(*state);
            return 0;
        case WM_DESTROY:
            on_destroy(*state);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HICON load_icon(HINSTANCE instance, int size) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
}

POINT centred_origin() {
    RECT work{};
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    const LONG width = work.right - work.left;
    const LONG height = work.bottom - work.top;
    return {work.left + std::max<LONG>((width - layout::window_width) / 2, 0),
            work.top + std::max<LONG>((height - layout::window_height) / 2, 0)};
}

// Enter presses the button that has the focus, and nothing when none has it.
void press_focused_button(HWND main_window) {
    const HWND focus = GetFocus();
    if (focus == nullptr || GetParent(focus) != main_window || !IsWindowEnabled(focus)) {
        return;
    }
    const int id = GetDlgCtrlID(focus);
    SendMessageW(main_window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(focus));
}

// The keys the loop answers itself. IsDialogMessage would turn Enter into IDOK (= Play)
// and Escape or Ctrl+Break into IDCANCEL (= Update) whatever has the focus, because this
// window is no dialog and has no default button.
bool handle_key(HWND main_window, const MSG& message) {
    if (message.message != WM_KEYDOWN) {
        return false;
    }
    switch (message.wParam) {
        case VK_ESCAPE:
            SendMessageW(main_window, WM_CLOSE, 0, 0);
            return true;
        case VK_RETURN:
            press_focused_button(main_window);
            return true;
        case VK_CANCEL:  // Ctrl+Break
            return true;
        default:
            return false;
    }
}

int message_loop(HWND main_window) {
    MSG message{};
    BOOL got = FALSE;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (handle_key(main_window, message)) {
            continue;
        }
        if (!IsDialogMessageW(main_window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return got == 0 ? static_cast<int>(message.wParam) : exit_setup_failed;
}

}  // namespace

int run_window(HINSTANCE instance, const std::wstring& client_folder,
               std::shared_ptr<UiChannel> channel, std::function<void(UiAction)> on_action,
               std::function<void()> on_ready, bool links_disabled) {
    const GdiplusSession gdiplus;
    if (!gdiplus.started()) {
        return exit_setup_failed;
    }
    auto state = std::make_unique<LauncherWindow>();
    state->instance = instance;
    state->client_folder = client_folder;
    state->channel = std::move(channel);
    state->on_action = std::move(on_action);
    state->on_ready = std::move(on_ready);
    state->links_disabled = links_disabled;
    state->background = Background::load(instance);
    if (!state->background) {
        // The entry shows it, unless the run is silent.
        throw LauncherError("window_setup", background_failed);
    }
    state->fonts = create_fonts();

    const UniqueIcon large_icon(load_icon(instance, 32));
    const UniqueIcon small_icon(load_icon(instance, 16));
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = &window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hIcon = large_icon.get();
    window_class.hIconSm = small_icon.get();
    window_class.lpszClassName = class_name;
    if (!RegisterClassExW(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return exit_setup_failed;
    }

    const POINT origin = centred_origin();
    HWND window = CreateWindowExW(
        WS_EX_APPWINDOW, class_name, window_caption, WS_POPUP | WS_MINIMIZEBOX, origin.x, origin.y,
        layout::window_width, layout::window_height, nullptr, nullptr, instance, state.get());
    int exit_code = exit_setup_failed;
    if (window) {
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
        exit_code = message_loop(window);
        // Only a failed GetMessageW leaves the window alive; it must not outlive its state.
        if (IsWindow(window)) {
            DestroyWindow(window);
        }
    }
    // The class holds the icons: it goes before they are destroyed.
    UnregisterClassW(class_name, instance);
    return exit_code;
}

}  // namespace vorn
