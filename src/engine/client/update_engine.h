// The engine object: one launcher run's client, services and action state.
#pragma once

#include <memory>
#include <mutex>

#include "engine/client/client_place.h"
#include "engine/client/engine_services.h"
#include "engine/client/engine_view.h"
#include "model/manifest.h"

namespace vorn {

// What changes with each action; the action holds `lock` while it runs.
struct ActionState {
    EngineView view;
    Manifest manifest;
    bool manifest_loaded = false;  // the action's manifest is valid: errors carry its count
    std::mutex lock;
};

// One per launcher run, owned by the worker; every action runs on its action thread under
// `state.lock`, except `state.view.clean`, which the window thread reads between actions.
// The units beneath the actions take only the part they use.
struct UpdateEngine {
    // Opens the client (see open_client_place). Throws LauncherError ("transport" when
    // there is no transport).
    UpdateEngine(LauncherConfig launcher_config, std::shared_ptr<Transport> http,
                 SnapshotSink snapshot_sink, ReportFunction report_function);
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    ClientPlace client;
    EngineServices services;
    ActionState state;
};

}  // namespace vorn
