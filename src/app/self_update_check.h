// Steps 3.1-3.2 of an action, shared by the window's worker and the local-test mode: is the
// client at rest, and if so, the self-update check.
#pragma once

#include <memory>
#include <optional>

#include "diagnostics/diagnostics_service.h"
#include "engine/client/update_engine.h"
#include "model/launcher_config.h"
#include "model/progress.h"
#include "net/http.h"

namespace vorn {

struct SelfUpdateOutcome {
    bool started = false;               // the updater took over: the launcher ends
    std::optional<UiSnapshot> failure;  // the check's phase-9 view, kept for the result
};

// Only for startup and update; on startup a running game means "not now". Every view goes
// to `progress`. Throws what the at-rest question throws (except "game_running" on startup).
SelfUpdateOutcome check_for_self_update(UpdateEngine& engine, Action action,
                                        const LauncherConfig& config,
                                        const std::shared_ptr<Transport>& transport,
                                        DiagnosticsService& diagnostics,
                                        const ProgressSink& progress);

// The snapshot of a self-update view: nothing is playable or updatable while it shows.
UiSnapshot snapshot_of(const ViewUpdate& update);

// A kept phase-9 failure's hint (and, on a ready result, its detail) shown with the action's
// own result.
void merge_self_update_failure(UiSnapshot& result, const std::optional<UiSnapshot>& failure);

}  // namespace vorn
