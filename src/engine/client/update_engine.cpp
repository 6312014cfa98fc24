#include "engine/client/update_engine.h"

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

}  // namespace vorn
