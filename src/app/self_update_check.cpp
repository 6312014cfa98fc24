#include "app/self_update_check.h"

#include "build_info.h"
#include "engine/actions/engine_actions.h"
#include "engine/client/accepted_updater.h"
#include "engine/client/subsystem_inputs.h"
#include "model/endpoints.h"
#include "selfupdate/self_update.h"

namespace vorn {
namespace {

bool at_rest(UpdateEngine& engine, Action action) {
    try {
        return is_at_rest_for_self_update(engine);
    } catch (const LauncherError& error) {
        if (action == Action::startup && error.stage == "game_running") {
            return false;  // the game runs: the launcher is not replaced under it
        }
        throw;
    }
}

SelfUpdateRun self_update_run(const LauncherConfig& config,
                              const std::shared_ptr<Transport>& transport,
                              DiagnosticsService& diagnostics) {
    SelfUpdateRun run;
    run.context = {.transport = transport.get(),
                   .trust = config.url_trust(),
                   .client_root = config.root,
                   .updater_path = config.updater_path,
                   .state_dir = config.cache_dir,
                   // The first accepted build is the updater built with this launcher.
                   .pinned_updater_sha256 = std::string(accepted_updater_build_list().front()),
                   .signer_pins = config.signer_pins,
                   .accepted_updater_sha256 = {accepted_updater_build_list().begin(),
                                               accepted_updater_build_list().end()}};
    if (config.local_test) {
        run.context.local_test_config = config.local_test_config_path;
    }
    run.release_url = config.endpoints.release_url;
    run.release_fallback_url = config.endpoints.release_fallback_url;
    run.rules = {.trust = config.url_trust(),
                 .local_test = config.local_test,
                 .launcher_url = launcher_download_url(),
                 .updater_url = updater_download_url()};
    run.running_build = launcher_build;
    run.report = [&diagnostics](const LauncherError& error) {
        return diagnostics.create_report(error, Action::startup, "unverified");
    };
    return run;
}

}  // namespace

SelfUpdateOutcome check_for_self_update(UpdateEngine& engine, Action action,
                                        const LauncherConfig& config,
                                        const std::shared_ptr<Transport>& transport,
                                        DiagnosticsService& diagnostics,
                                        const ProgressSink& progress) {
    SelfUpdateOutcome outcome;
    if ((action != Action::startup && action != Action::update) || !at_rest(engine, action)) {
        return outcome;
    }
    SelfUpdateRun run = self_update_run(config, transport, diagnostics);
    run.feed_trust = feed_trust(engine.client, engine.services);
    run.progress = [&](const ViewUpdate& update) {
        if (update.phase == Phase::error) {
            outcome.failure = snapshot_of(update);
        }
        progress(update);
    };
    outcome.started = run_self_update(run);
    return outcome;
}

UiSnapshot snapshot_of(const ViewUpdate& update) {
    UiSnapshot view;
    apply_view_update(view, update);
    return view;
}

void merge_self_update_failure(UiSnapshot& result, const std::optional<UiSnapshot>& failure) {
    if (!failure || result.phase == Phase::error) {
        return;
    }
    if (!failure->hint.empty()) {
        result.hint = failure->hint;
    }
    if (result.phase == Phase::ready && !failure->detail.empty()) {
        result.detail = failure->detail;
    }
}

}  // namespace vorn
