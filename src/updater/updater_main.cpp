#include "updater/updater_main.h"

#include <exception>
#include <thread>

#include "core/system/command_line.h"
#include "core/system/module_path.h"
#include "updater/updater_run.h"
#include "updater/updater_window.h"

namespace vorn {
namespace {

UpdaterExit run_guarded(const UpdaterHooks& hooks) {
    try {
        return run_updater(command_line_arguments(), running_program_path(), hooks);
    } catch (const std::exception&) {
        // Whatever stopped the run, the launcher's path holds a complete launcher.
        hooks.status(L"Обновление лаунчера прервано.");
        return UpdaterExit::refused;
    }
}

}  // namespace

int updater_main(HINSTANCE instance) {
    const auto window = UpdaterWindow::create(instance);
    if (!window) {
        return static_cast<int>(run_guarded({.status = [](const std::wstring&) {}}));
    }
    UpdaterExit exit = UpdaterExit::refused;
    std::thread work([&] {
        exit = run_guarded({.status = [&](const std::wstring& text) { window->show_status(text); },
                            .hold_session = [&](bool held) { window->hold_session(held); }});
        window->finish();
    });
    window->run_message_loop();
    work.join();
    return static_cast<int>(exit);
}

}  // namespace vorn
