#include "app/local_test.h"

#include <windows.h>

#include <memory>

#include <nlohmann/json.hpp>

#include "app/self_update_check.h"
#include "build_info.h"
#include "core/file_system.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "diagnostics/diagnostics_service.h"
#include "engine/actions/engine_actions.h"
#include "engine/client/update_engine.h"
#include "net/winhttp_transport.h"

namespace vorn {
namespace {

using nlohmann::json;

constexpr std::size_t delivered_after_action = 2;

}  // namespace

int run_local_test(const LauncherConfig& config, const LaunchOptions& options) {
    if (!config.local_test || !options.has_qa_action) {
        return 2;
    }
    const auto transport = std::make_shared<WinHttpTransport>();
    DiagnosticsService diagnostics(config, transport);
    json observations = json::array();
    std::unique_ptr<UpdateEngine> engine;
    engine = std::make_unique<UpdateEngine>(
        config, transport,
        [&](const UiSnapshot& view) { observations.push_back(snapshot_json(view)); },
        [&](const LauncherError& error, Action action) {
            return diagnostics.create_report(error, action, report_client_state(engine.get()));
        });

    json result = {{"build", std::string(launcher_build)}, {"local_test", true}};
    int exit_code = 0;
    try {
        const SelfUpdateOutcome self_update =
            check_for_self_update(*engine, options.qa_action, config, transport, diagnostics,
                                  [&](const ViewUpdate& update) {
                                      observations.push_back(snapshot_json(snapshot_of(update)));
                                  });
        if (self_update.started) {
            result["self_update_started"] = true;
            if (!options.qa_result_path.empty()) {
                write_json_file(options.qa_result_path, result);
            }
            return 0;
        }
        UiSnapshot view = run_engine_action(*engine, options.qa_action);
        merge_self_update_failure(view, self_update.failure);
        result["ok"] = true;
        result["phase"] = phase_number(view.phase);
        result["can_play"] = view.can_play;
        result["can_update"] = view.can_update;
        result["client_version"] = view.client_version;
        result["title"] = to_utf8(view.title);
        result["detail"] = to_utf8(view.detail);
        result["hint"] = to_utf8(view.hint);
    } catch (const LauncherError& error) {
        exit_code = 1;
        result["ok"] = false;
        result["stage"] = error.stage;
        result["message"] = to_utf8(error.message);  // what the window would show
        result["win32"] = error.win32;
        result["http_status"] = error.http_status;
        result["report_id"] = diagnostics.create_report(error, options.qa_action, "unverified");
    }
    diagnostics.deliver_pending(delivered_after_action);
    result["observations"] = std::move(observations);
    if (!options.qa_result_path.empty()) {
        write_json_file(options.qa_result_path, result);
    }
    return exit_code;
}

}  // namespace vorn
