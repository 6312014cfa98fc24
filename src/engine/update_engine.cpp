#include "engine/update_engine.h"

#include "engine/manifest_fetch.h"

namespace vorn {

UpdateEngine::UpdateEngine(LauncherConfig launcher_config, std::shared_ptr<Transport> http,
                           SnapshotSink snapshot_sink, ReportFunction report_function) {
    state.view.sink = std::move(snapshot_sink);
    state.view.snapshot.can_update = true;
    if (!http) {
        throw LauncherError("transport", L"Не удалось подготовить соединение.");
    }
    client = open_client_place(launcher_config);
    launcher_config.root = client.root.native();
    launcher_config.cache_dir = client.cache_dir.native();
    services = EngineServices{.config = std::move(launcher_config),
                              .transport = std::move(http),
                              .report = std::move(report_function),
                              .fault_point = {}};
}

const Manifest& load_manifest(UpdateEngine& engine) {
    engine.state.manifest_loaded = false;
    engine.state.manifest = fetch_manifest(engine.client, engine.services, engine.state.view);
    engine.state.manifest_loaded = true;
    return engine.state.manifest;
}

}  // namespace vorn
