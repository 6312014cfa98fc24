#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "build_info.h"
#include "support/fixtures.h"
#include "ui/button_rules.h"
#include "ui/main_window.h"
#include "ui/paint_window.h"
#include "ui/ui_channel.h"

namespace vorn {
namespace {

UiView idle_view() {
    UiView view;
    view.busy = false;
    view.can_play = true;
    view.can_update = false;
    return view;
}

TEST(ButtonRules, BusyTurnsEveryActionOffButNotTheLinks) {
    UiView view = idle_view();
    view.busy = true;
    view.can_update = true;
    for (const ButtonDef& button : layout::buttons) {
        SCOPED_TRACE(testing::Message() << button.id);
        EXPECT_EQ(button_enabled(button, view, false), button.link);
        EXPECT_FALSE(button_enabled(button, view, true));
        EXPECT_FALSE(action_for_click(button.id, view));
    }
}

TEST(ButtonRules, PlayAndUpdateFollowTheViewCheckAndIconsAlwaysOn) {
    UiView view = idle_view();
    EXPECT_EQ(action_for_click(layout::id_play, view), UiAction::play);
    EXPECT_FALSE(action_for_click(layout::id_update, view));
    EXPECT_EQ(action_for_click(layout::id_check, view), UiAction::check);
    EXPECT_EQ(action_for_click(layout::id_icons, view), UiAction::icons);
    view.can_play = false;
    view.can_update = true;
    EXPECT_FALSE(action_for_click(layout::id_play, view));
    EXPECT_EQ(action_for_click(layout::id_update, view), UiAction::update);
    EXPECT_TRUE(action_button_on(layout::id_check, view));
}

TEST(FooterText, NamesTheBuildAndThePatch) {
    const std::wstring launcher = std::wstring(L"Лаунчер ") + launcher_build_wide;
    EXPECT_EQ(footer_right_text(L"18"), launcher + L"  •  патч 18");
    EXPECT_EQ(footer_right_text(L""), launcher + L"  •  патч —");
    EXPECT_EQ(clamped_percent(150), 100);
    EXPECT_EQ(clamped_percent(-5), 0);
}

// Runs window code on a fresh thread. Under Wine without an X server the default desktop
// has no display driver and refuses top-level windows, so the thread joins a private
// desktop that Wine's explorer hosts on its null driver.
class WindowThread {
  public:
    WindowThread() {
        if (!test::running_under_wine()) {
            return;
        }
        name_ = L"vorn-ui-tests-" + std::to_wstring(GetCurrentProcessId());
        std::wstring command = L"explorer.exe /desktop=" + name_ + L",1100x620,null";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                           nullptr, nullptr, &startup, &explorer_)) {
            WaitForInputIdle(explorer_.hProcess, 10000);  // its desktop window exists
        }
    }
    ~WindowThread() {
        if (explorer_.hProcess) {
            TerminateProcess(explorer_.hProcess, 0);
            CloseHandle(explorer_.hProcess);
            CloseHandle(explorer_.hThread);
        }
    }

    // False when no desktop could be joined.
    bool run(const std::function<void()>& body) const {
        bool joined = true;
        std::thread worker([&] {
            // Wine closes a thread's desktop handle when the thread ends: one per run.
            HDESK desktop =
                name_.empty() ? nullptr : OpenDesktopW(name_.c_str(), 0, FALSE, GENERIC_ALL);
            joined = !test::running_under_wine() || (desktop && SetThreadDesktop(desktop));
            if (joined) {
                body();
            }
        });
        worker.join();
        return joined;
    }

  private:
    std::wstring name_;
    PROCESS_INFORMATION explorer_{};
};

// A plain hidden top-level window: it has a real message queue the channel posts into.
class HiddenWindow {
  public:
    HiddenWindow() {
        WNDCLASSW window_class{};
        window_class.lpfnWndProc = DefWindowProcW;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = L"VornUiTestsHidden";
        RegisterClassW(&window_class);
        window_ = CreateWindowExW(0, window_class.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 10, 10,
                                  nullptr, nullptr, window_class.hInstance, nullptr);
    }
    ~HiddenWindow() { DestroyWindow(window_); }
    HWND get() const { return window_; }

    int take(UINT message) const {
        MSG msg;
        int count = 0;
        while (PeekMessageW(&msg, window_, message, message, PM_REMOVE)) {
            ++count;
        }
        return count;
    }

  private:
    HWND window_ = nullptr;
};

const WindowThread& window_thread() {
    static const WindowThread thread;
    return thread;
}

TEST(UiChannel, BurstOfPublishesWakesTheWindowOnce) {
    const bool ran = window_thread().run([] {
        const HiddenWindow window;
        ASSERT_TRUE(window.get());
        UiChannel channel;
        channel.publish(idle_view());
        EXPECT_EQ(window.take(wm_view_changed), 0) << "no window attached yet";

        channel.attach(window.get());
        for (int i = 0; i < 100; ++i) {
            UiView view = idle_view();
            view.percent = i;
            channel.publish(view);
        }
        EXPECT_EQ(window.take(wm_view_changed), 1);
        EXPECT_EQ(channel.take_view().percent, 99) << "the window reads the latest view";
        channel.publish(idle_view());
        EXPECT_EQ(window.take(wm_view_changed), 1) << "taking the view re-arms the wake-up";

        channel.request_close();
        EXPECT_EQ(window.take(wm_close_now), 1);
        channel.detach();
        channel.publish(idle_view());
        channel.request_close();
        EXPECT_EQ(window.take(wm_view_changed) + window.take(wm_close_now), 0);
    });
    ASSERT_TRUE(ran) << "no desktop for windows";
}

// The whole window run: it must come up with the art, take a view, accept only the clicks
// that view allows, refuse to close while busy and end with 0 when the worker closes it.
TEST(WindowRun, ClicksFollowTheLatestViewAndCloseWaitsWhileBusy) {
    if (!FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), RT_RCDATA)) {
        GTEST_SKIP() << "the background art is not linked into this build";
    }
    auto channel = std::make_shared<UiChannel>();
    std::vector<UiAction> actions;
    int ready = 0;
    int code = -1;
    bool survived_busy_close = false;
    const auto on_ready = [&] {
        ++ready;
        HWND window = FindWindowW(L"VornellSourceLauncher202610165", L"Vornell");
        SendMessageW(window, WM_CLOSE, 0, 0);  // the initial view is busy
        survived_busy_close = IsWindow(window) != FALSE;
        UiView view = idle_view();
        view.can_play = false;
        channel->publish(view);
        // Posted after the view's wake-up, so they meet the new view.
        for (int id : {layout::id_play, layout::id_update, layout::id_check, layout::id_icons}) {
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
        }
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(layout::id_check, 1), 0);  // not a click
        channel->request_close();
    };
    ASSERT_TRUE(window_thread().run([&] {
        code = run_window(
            GetModuleHandleW(nullptr), L"C:\\Games\\Vornell", channel,
            [&](UiAction action) { actions.push_back(action); }, on_ready, true);
    }));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ready, 1);
    EXPECT_TRUE(survived_busy_close);
    EXPECT_EQ(actions, (std::vector<UiAction>{UiAction::check, UiAction::icons}));
}

}  // namespace
}  // namespace vorn
