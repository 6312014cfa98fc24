#include "app/launcher_worker.h"

#include <windows.h>

#include "app/error_snapshot.h"
#include "app/self_update_check.h"
#include "engine/actions/engine_actions.h"
#include "engine/actions/game_launch.h"
#include "net/winhttp_transport.h"

namespace vorn {
namespace {

constexpr std::size_t delivered_per_pass = 2;

}  // namespace

LauncherWorker::LauncherWorker(LauncherConfig config, std::shared_ptr<UiChannel> channel)
    : config_(std::move(config)),
      channel_(std::move(channel)),
      transport_(std::make_shared<WinHttpTransport>()) {
    last_.can_update = true;
    diagnostics_ = std::make_unique<DiagnosticsService>(config_, transport_);
    try {
        engine_ = std::make_unique<UpdateEngine>(
            config_, transport_, [this](const UiSnapshot& snapshot) { sink(snapshot); },
            [this](const LauncherError& error, Action action) { return report(error, action); });
    } catch (const LauncherError& error) {
        engine_failure_ = error;  // every action shows it
    }
    try {
        diagnostics_thread_ = std::thread([this] { diagnostics_loop(); });
    } catch (const std::exception&) {
        // Reports then wait in the queue for a later run.
    }
}

LauncherWorker::~LauncherWorker() {
    if (action_thread_.joinable()) {
        action_thread_.join();
    }
    {
        const std::lock_guard hold(wake_lock_);
        stopping_ = true;
    }
    wake_signal_.notify_all();
    if (diagnostics_thread_.joinable()) {
        diagnostics_thread_.join();
    }
    engine_.reset();
    diagnostics_.reset();
}

void LauncherWorker::start_action(UiAction action) {
    bool idle = false;
    if (!operation_running_.compare_exchange_strong(idle, true)) {
        return;  // the window never asks while busy; a stray request is dropped
    }
    if (action_thread_.joinable()) {
        action_thread_.join();
    }
    UiSnapshot busy = last_;
    busy.busy = true;
    busy.can_play = false;
    busy.can_update = false;
    channel_->publish(to_ui_view(busy));
    try {
        action_thread_ = std::thread([this, action] { run_action(action); });
    } catch (const std::exception&) {
        operation_running_.store(false);
        const LauncherError error(
            "worker_start", L"Не удалось запустить проверку. Повторите попытку.", GetLastError());
        const std::string id =
            diagnostics_->create_report(error, engine_action_for(action), "unverified");
        last_ = make_error_snapshot(error, id, last_, Busy::no);
        publish_last();
        kick_diagnostics();
    }
}

void LauncherWorker::run_play() {
    if (config_.local_test) {
        throw LauncherError("qa_play_blocked", L"Запуск игры отключён в локальной проверке.");
    }
    if (!engine_ || !reports_clean(*engine_)) {
        throw LauncherError("client_unverified",
                            L"Сначала выполните проверку или обновление клиента.");
    }
    launch_game(*engine_);
    last_.phase = Phase::ready;
    last_.title = L"Клиент запускается";
    last_.detail = L"Игра открывается из выбранной папки клиента.";
    last_.hint.clear();
}

bool LauncherWorker::run_engine(Action action) {
    if (!engine_) {
        throw *engine_failure_;
    }
    const SelfUpdateOutcome self_update =
        check_for_self_update(*engine_, action, config_, transport_, *diagnostics_,
                              [this](const ViewUpdate& update) { sink(snapshot_of(update)); });
    if (self_update.started) {
        return true;
    }
    last_ = run_engine_action(*engine_, action);
    merge_self_update_failure(last_, self_update.failure);
    return false;
}

void LauncherWorker::run_action(UiAction action) {
    const Action engine_action = engine_action_for(action);
    bool self_update_started = false;
    try {
        if (action == UiAction::play) {
            run_play();
        } else {
            self_update_started = run_engine(engine_action);
        }
    } catch (const LauncherError& error) {
        last_ = make_error_snapshot(error, report(error, engine_action), last_, Busy::yes);
        publish_last();
    } catch (...) {
        const LauncherError error("unexpected_error",
                                  L"Лаунчер не смог завершить операцию. Повторите попытку.");
        last_ = make_error_snapshot(error,
                                    diagnostics_->create_report(error, engine_action, "unverified"),
                                    last_, Busy::yes);
        publish_last();
    }
    last_.busy = false;
    if (last_.phase == Phase::error) {
        last_.can_update = true;
    } else {
        last_.can_play = engine_ && reports_clean(*engine_) && !config_.local_test;
    }
    operation_running_.store(false);
    if (self_update_started) {
        channel_->request_close();  // the updater replaces this launcher now
        return;
    }
    publish_last();
    kick_diagnostics();
}

void LauncherWorker::sink(const UiSnapshot& snapshot) {
    last_ = snapshot;
    UiSnapshot busy = snapshot;
    busy.busy = true;
    busy.can_play = false;
    busy.can_update = false;
    channel_->publish(to_ui_view(busy));
}

std::string LauncherWorker::report(const LauncherError& error, Action action) noexcept {
    return diagnostics_->create_report(error, action, report_client_state(engine_.get()));
}

void LauncherWorker::publish_last() {
    channel_->publish(to_ui_view(last_));
}

void LauncherWorker::kick_diagnostics() {
    {
        const std::lock_guard hold(wake_lock_);
        wake_pending_ = true;
    }
    wake_signal_.notify_one();
}

void LauncherWorker::diagnostics_loop() {
    for (;;) {
        {
            std::unique_lock hold(wake_lock_);
            wake_signal_.wait(hold, [this] { return wake_pending_ || stopping_; });
            if (stopping_) {
                return;
            }
            wake_pending_ = false;
        }
        try {
            diagnostics_->deliver_pending(delivered_per_pass);
        } catch (...) {
            // A failed pass only delays the reports; the next action wakes the thread again.
        }
    }
}

}  // namespace vorn
