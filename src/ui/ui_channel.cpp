#include "ui/ui_channel.h"

namespace vorn {

void UiChannel::publish(const UiView& view) {
    const std::lock_guard hold(lock_);
    view_ = view;
    if (window_ && !update_posted_) {
        // A failed post leaves the flag clear, so the next publish tries again.
        update_posted_ = PostMessageW(window_, wm_view_changed, 0, 0) != FALSE;
    }
}

void UiChannel::request_close() {
    const std::lock_guard hold(lock_);
    if (window_) {
        PostMessageW(window_, wm_close_now, 0, 0);
    }
}

void UiChannel::attach(HWND window) {
    const std::lock_guard hold(lock_);
    window_ = window;
}

UiView UiChannel::take_view() {
    const std::lock_guard hold(lock_);
    update_posted_ = false;
    return view_;
}

void UiChannel::detach() {
    const std::lock_guard hold(lock_);
    window_ = nullptr;
    update_posted_ = false;
}

UiView UiChannel::latest() const {
    const std::lock_guard hold(lock_);
    return view_;
}

}  // namespace vorn
