#include "engine/update_engine.h"

#include "archive/rebase_receipt.h"
#include "core/file_system.h"
#include "core/client_key.h"
#include "diagnostics/diagnostics_service.h"
#include "engine/client_paths.h"

namespace vorn {

UpdateEngine::UpdateEngine(LauncherConfig launcher_config, std::shared_ptr<Transport> http,
                           SnapshotSink snapshot_sink, ReportFunction report_function)
    : config(std::move(launcher_config)),
      transport(std::move(http)),
      sink(std::move(snapshot_sink)),
      report(std::move(report_function)) {
    view.can_update = true;
    if (!transport) {
        throw LauncherError("transport", L"Не удалось подготовить соединение.");
    }
    root = absolute_normal(config.root);
    cache_dir = absolute_normal(config.cache_dir);
    config.root = root.native();
    config.cache_dir = cache_dir.native();
    require_local_path_length(root);
    require_local_path_length(cache_dir);
    key = client_key(root);
    ensure_service_directory(cache_dir);
    // A launcher killed while it wrote a state file leaves its temporary behind; no other
    // launcher serves this client now, so none of them is in use.
    remove_stale_temporaries(cache_dir, [](std::wstring_view name) {
        for (const wchar_t* state :
             {receipt_file_name, marker_file_name, transaction_file_name, guild_state_file_name,
              rebase_state_file_name, last_report_file_name}) {
            if (name == state) {
                return true;
            }
        }
        return false;
    });

    receipt_path = cache_dir / receipt_file_name;
    marker_path = cache_dir / marker_file_name;
    transaction_path = cache_dir / transaction_file_name;
    guild_state_path = cache_dir / guild_state_file_name;
    for (const auto* path : {&receipt_path, &marker_path, &transaction_path, &guild_state_path}) {
        require_local_path_length(*path);
    }
}

void reach(UpdateEngine& engine, std::string_view point) {
    if (engine.fault_point) {
        engine.fault_point(point);
    }
}

void publish_view(UpdateEngine& engine, const ViewUpdate& update) {
    UiSnapshot& view = engine.view;
    apply_view_update(view, update);
    view.can_play = engine.clean.load();
    view.can_update = !view.busy;
    if (engine.sink) {
        engine.sink(view);
    }
}

}  // namespace vorn
