#include "updater/updater_window.h"

namespace vorn {
namespace {

constexpr const wchar_t* class_name = L"VornellUpdaterWindow";
constexpr UINT status_changed = WM_APP + 1;
constexpr UINT work_finished = WM_APP + 2;
constexpr UINT session_hold_changed = WM_APP + 3;  // wparam: held or not
constexpr int window_width = 440;
constexpr int window_height = 130;
constexpr int margin = 16;

bool register_class(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = class_name;
    return RegisterClassExW(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

std::unique_ptr<UpdaterWindow> UpdaterWindow::create(HINSTANCE instance) {
    if (!register_class(instance, &UpdaterWindow::window_procedure)) {
        return nullptr;
    }
    std::unique_ptr<UpdaterWindow> self(new UpdaterWindow());
    // Fixed size, no resize, no close button: the run must not be cut short by a click.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION;
    RECT frame{0, 0, window_width, window_height};
    AdjustWindowRect(&frame, style, FALSE);
    self->window_ = CreateWindowExW(0, class_name, L"Обновление лаунчера Vornell", style,
                                    CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                                    frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!self->window_) {
        return nullptr;
    }
    SetWindowLongPtrW(self->window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self.get()));
    self->label_ =
        CreateWindowExW(0, L"STATIC", L"Подготовка обновления…", WS_CHILD | WS_VISIBLE | SS_LEFT,
                        margin, margin, window_width - 2 * margin, window_height - 2 * margin,
                        self->window_, nullptr, instance, nullptr);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        self->font_ = CreateFontIndirectW(&metrics.lfMessageFont);
        SendMessageW(self->label_, WM_SETFONT, reinterpret_cast<WPARAM>(self->font_), TRUE);
    }
    ShowWindow(self->window_, SW_SHOWNORMAL);
    UpdateWindow(self->window_);
    return self;
}

UpdaterWindow::~UpdaterWindow() {
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
    if (font_) {
        DeleteObject(font_);
    }
}

void UpdaterWindow::show_status(const std::wstring& text) {
    {
        const std::lock_guard lock(mutex_);
        status_ = text;
    }
    PostMessageW(window_, status_changed, 0, 0);
}

void UpdaterWindow::finish() {
    PostMessageW(window_, work_finished, 0, 0);
}

void UpdaterWindow::hold_session(bool held) {
    // Sent, not posted: the hold stands before the caller goes on. The reason must be set
    // by the window's own thread.
    SendMessageW(window_, session_hold_changed, held, 0);
}

void UpdaterWindow::run_message_loop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == window_ && message.message == work_finished) {
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK UpdaterWindow::window_procedure(HWND window, UINT message, WPARAM wparam,
                                                 LPARAM lparam) {
    auto* self = reinterpret_cast<UpdaterWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == status_changed) {
        const std::lock_guard lock(self->mutex_);
        SetWindowTextW(self->label_, self->status_.c_str());
        return 0;
    }
    if (self && message == session_hold_changed) {
        self->session_held_ = wparam != 0;
        if (self->session_held_) {
            ShutdownBlockReasonCreate(window,
                                      L"Проверяем новую версию лаунчера. Это займёт не "
                                      L"больше минуты.");
        } else {
            ShutdownBlockReasonDestroy(window);
        }
        return 0;
    }
    if (self && message == WM_QUERYENDSESSION) {
        return self->session_held_ ? FALSE : TRUE;
    }
    if (message == WM_CLOSE) {
        return 0;  // the run ends the window, never a click
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace vorn
