// The mailbox between the worker and the window: the latest view, and one posted message
// for a burst of publishes.
#pragma once

#include <windows.h>

#include <mutex>

#include "model/ui_view.h"

namespace vorn {

inline constexpr UINT wm_view_changed = WM_APP + 10;
inline constexpr UINT wm_window_ready = WM_APP + 11;
inline constexpr UINT wm_close_now = WM_APP + 12;

class UiChannel {
  public:
    // Any thread: stores the view and wakes the window unless a wake-up is on its way.
    void publish(const UiView& view);
    // Any thread: asks the window to close at once (after a self-update hand-over).
    void request_close();

    // Window side: at creation, on wm_view_changed, at WM_DESTROY.
    void attach(HWND window);
    UiView take_view();
    void detach();

    UiView latest() const;

  private:
    mutable std::mutex lock_;
    HWND window_ = nullptr;
    UiView view_;
    bool update_posted_ = false;
};

}  // namespace vorn
