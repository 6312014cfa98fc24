// The updater's small window: one line saying what it is doing. The work runs on its own
// thread; the window only shows the latest status and closes when the work is done.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

namespace vorn {

class UpdaterWindow {
  public:
    // None when no window can be made (no desktop): the updater then works without one.
    static std::unique_ptr<UpdaterWindow> create(HINSTANCE instance);
    ~UpdaterWindow();
    UpdaterWindow(const UpdaterWindow&) = delete;
    UpdaterWindow& operator=(const UpdaterWindow&) = delete;

    // Both may be called from any thread.
    void show_status(const std::wstring& text);
    void finish();
    // While held, the window asks Windows to keep the session (logoff, shutdown) from
    // ending, and answers the question whether it may end with no.
    void hold_session(bool held);

    // Runs the window until finish() or the window is destroyed.
    void run_message_loop();

  private:
    UpdaterWindow() = default;
    static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam,
                                             LPARAM lparam);

    HWND window_ = nullptr;
    HWND label_ = nullptr;
    HFONT font_ = nullptr;
    std::mutex mutex_;
    std::wstring status_;
    bool session_held_ = false;  // the window's thread only
};

}  // namespace vorn
