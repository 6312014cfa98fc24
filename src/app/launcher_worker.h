// Runs the window's actions on a thread of its own, one at a time, and delivers
// diagnostic reports in the background. The window only ever sees published views.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "core/launcher_error.h"
#include "diagnostics/diagnostics_service.h"
#include "engine/client/update_engine.h"
#include "model/launcher_config.h"
#include "model/ui_snapshot.h"
#include "model/ui_view.h"
#include "net/http.h"
#include "ui/ui_channel.h"

namespace vorn {

class LauncherWorker {
  public:
    // Builds the transport, the diagnostics service and the engine, then starts the
    // diagnostics thread (the worker runs without it when it cannot start).
    LauncherWorker(LauncherConfig config, std::shared_ptr<UiChannel> channel);
    // Waits for a running action, then stops the diagnostics thread.
    ~LauncherWorker();
    LauncherWorker(const LauncherWorker&) = delete;
    LauncherWorker& operator=(const LauncherWorker&) = delete;

    // Main thread. An action requested while another runs is dropped.
    void start_action(UiAction action);
    void kick_diagnostics();
    bool operation_running() const { return operation_running_.load(); }

  private:
    void run_action(UiAction action);
    void run_play();
    // The self-update check, then the engine's action; true when the updater took over.
    bool run_engine(Action action);
    void diagnostics_loop();
    void sink(const UiSnapshot& snapshot);
    std::string report(const LauncherError& error, Action action) noexcept;
    void publish_last();

    LauncherConfig config_;
    std::shared_ptr<UiChannel> channel_;
    std::shared_ptr<Transport> transport_;
    UiSnapshot last_;
    std::unique_ptr<DiagnosticsService> diagnostics_;
    std::unique_ptr<UpdateEngine> engine_;
    std::optional<LauncherError> engine_failure_;  // why there is no engine
    std::atomic<bool> operation_running_{false};
    std::thread action_thread_;
    std::thread diagnostics_thread_;
    std::mutex wake_lock_;
    std::condition_variable wake_signal_;
    bool wake_pending_ = false;
    bool stopping_ = false;
};

}  // namespace vorn
