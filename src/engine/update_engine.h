// The engine object: the client state of one launcher run, its lock and its view.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/launcher_error.h"
#include "guild/guild_state.h"
#include "model/action.h"
#include "model/launcher_config.h"
#include "model/manifest.h"
#include "model/progress.h"
#include "net/http.h"

namespace vorn {

// Records a diagnostic report for the error and returns its code (empty when none).
using ReportFunction = std::function<std::string(const LauncherError&, Action)>;

inline constexpr const wchar_t* receipt_file_name = L"installed-v2.json";
inline constexpr const wchar_t* marker_file_name = L"update-dirty-v1.bin";
inline constexpr const wchar_t* transaction_file_name = L"transaction-v2.json";

// One per launcher run, owned by the worker; every operation runs on its action thread
// under `lock`, except `clean`, which the window thread reads between actions.
struct UpdateEngine {
    // Makes root and cache_dir absolute, applies the path length rule to them and to the
    // state files, and creates the service folder. Throws LauncherError ("transport" when
    // there is no transport).
    UpdateEngine(LauncherConfig launcher_config, std::shared_ptr<Transport> http,
                 SnapshotSink snapshot_sink, ReportFunction report_function);
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    LauncherConfig config;  // root and cache_dir absolute
    std::shared_ptr<Transport> transport;
    SnapshotSink sink;
    ReportFunction report;
    UiSnapshot view;
    // The client matched the last manifest and no repair is pending.
    std::atomic<bool> clean{false};
    std::filesystem::path root;
    std::string key;  // client_key of root, taken once: it asks the file system
    std::filesystem::path cache_dir;
    std::filesystem::path receipt_path;
    std::filesystem::path marker_path;
    std::filesystem::path transaction_path;
    std::filesystem::path guild_state_path;
    Manifest manifest;
    bool manifest_loaded = false;
    std::mutex lock;
    // Called at each step of an installation ("downloaded", "staged", "icons_built",
    // "backed_up", "journal_written", "published", "all_published"); crash tests throw
    // from it to stop the work exactly there. Empty in the product.
    std::function<void(std::string_view)> fault_point;
};

// Reaches the named durable step (see fault_point).
void reach(UpdateEngine& engine, std::string_view point);

// Sets the view's texts, busy, can_play := clean and can_update := !busy, then hands it
// to the sink.
void publish_view(UpdateEngine& engine, const ViewUpdate& update);

}  // namespace vorn
