// The engine's front door: one action at a time under the engine lock.
#pragma once

#include "model/action.h"
#include "model/ui_snapshot.h"

namespace vorn {

struct UpdateEngine;

// Runs one action to its final view, published through the sink and returned. Throws
// LauncherError (the worker shows it as the error view); any other failure becomes
// "local_io". An error leaves the client unverified.
UiSnapshot run_engine_action(UpdateEngine& engine, Action action);

// Whether the launcher may replace itself now: no game of this client runs ("game_running"
// propagates) and no update is interrupted.
bool is_at_rest_for_self_update(UpdateEngine& engine);

bool reports_clean(const UpdateEngine& engine);

// "clean" or "unverified", the client state a diagnostic report carries; without an engine
// the client is unverified.
const char* report_client_state(const UpdateEngine* engine) noexcept;

}  // namespace vorn
