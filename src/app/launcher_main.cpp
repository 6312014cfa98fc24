#include "app/launcher_main.h"

#include <objbase.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/instance_mutex.h"
#include "app/launch_options.h"
#include "app/launcher_worker.h"
#include "app/local_test.h"
#include "app/trust_values.h"
#include "build_info.h"
#include "core/launcher_error.h"
#include "core/system/command_line.h"
#include "core/unique_handle.h"
#include "model/launcher_config.h"
#include "selfupdate/health_file.h"
#include "ui/main_window.h"
#include "ui/preview.h"

namespace vorn {
namespace {

// Test and update runs never show a message box: nobody is there to close it.
bool is_silent(const std::vector<std::wstring>& arguments) {
    for (const std::wstring& argument : arguments) {
        if (argument.starts_with(L"--qa-") || argument == L"--render-preview" ||
            argument.starts_with(L"--update-health-token")) {
            return true;
        }
    }
    return false;
}

void show_failure(bool silent, const wchar_t* text) {
    if (!silent) {
        MessageBoxW(nullptr, text, L"Vornell", MB_ICONERROR);
    }
}

int run(HINSTANCE instance, const LaunchOptions& options) {
    if (!options.preview_output_path.empty()) {
        // Nothing else runs: no configuration, no lock, no network.
        const UiView view = make_preview_view(options.preview_state);
        return render_preview(instance, launcher_folder(), view, options.preview_output_path) ? 0
                                                                                              : 2;
    }
    LauncherConfig config = options.qa_config_path.empty()
                                ? default_config()
                                : load_local_test_config(options.qa_config_path);
    config.health_token = options.health_token;
    config.feed_keys = deployed_feed_keys();
    config.signer_pins = deployed_signer_pins();

    const InstanceLock lock = acquire_instance_lock(config.root);
    if (lock.already_running) {
        return 0;  // another launcher serves this client folder
    }
    if (options.has_qa_action) {
        return run_local_test(config, options);
    }
    const auto channel = std::make_shared<UiChannel>();
    auto worker = std::make_unique<LauncherWorker>(config, channel);
    const int exit_code = run_window(
        instance, config.root, channel, [&](UiAction action) { worker->start_action(action); },
        [&] {
            // The updater that started this launcher waits for this file to trust it.
            if (!config.health_token.empty()) {
                write_health_file(config.cache_dir, config.health_token, launcher_build);
            }
            worker->start_action(UiAction::startup);
        },
        config.local_test);
    worker.reset();  // waits for a running action
    return exit_code;
}

}  // namespace

int launcher_main(HINSTANCE instance) {
    SetProcessDPIAware();
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int exit_code = 2;
    bool silent = false;
    try {
        const std::vector<std::wstring> arguments = command_line_arguments();
        silent = is_silent(arguments);
        exit_code = run(instance, parse_launch_options(arguments));
    } catch (const LauncherError& error) {
        exit_code = 2;
        show_failure(silent, error.message.c_str());
    } catch (const std::exception&) {
        exit_code = 2;
        show_failure(silent,
                     L"Не удалось запустить лаунчер. Проверьте папку клиента и параметры запуска.");
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return exit_code;
}

}  // namespace vorn
