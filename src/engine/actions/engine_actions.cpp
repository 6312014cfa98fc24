#include "engine/actions/engine_actions.h"

#include <windows.h>

#include <mutex>
#include <system_error>

#include "engine/actions/action_errors.h"
#include "engine/actions/check_action.h"
#include "engine/actions/icons_action.h"
#include "engine/actions/startup_check.h"
#include "engine/actions/update_action.h"
#include "engine/client/repair_state.h"
#include "engine/client/running_client.h"
#include "engine/client/update_engine.h"

namespace vorn {
namespace {

// Every failure leaves the action as a LauncherError and the client unverified.
template <typename Body>
UiSnapshot guarded(ActionState& state, Body&& body) {
    try {
        return body();
    } catch (LauncherError& error) {
        state.view.clean.store(false);
        state.view.snapshot.busy = false;
        state.view.snapshot.can_play = false;
        prepare_error_for_user(state, error);
        throw;
    } catch (const std::system_error& error) {
        state.view.clean.store(false);
        throw local_io_error(static_cast<std::uint32_t>(error.code().value()));
    } catch (...) {
        const DWORD code = GetLastError();
        state.view.clean.store(false);
        throw local_io_error(code);
    }
}

}  // namespace

UiSnapshot run_engine_action(UpdateEngine& engine, Action action) {
    const std::lock_guard hold(engine.state.lock);
    engine.state.manifest_loaded = false;
    return guarded(engine.state, [&] {
        if (action == Action::startup) {
            return startup_check(engine);
        }
        if ((action == Action::check || action == Action::icons) &&
            is_update_interrupted(engine.client)) {
            throw LauncherError("recovery_required",
                                L"Сначала нажмите «Обновить», чтобы завершить восстановление.");
        }
        if (action == Action::update) {
            return run_update_action(engine);
        }
        if (action == Action::icons) {
            return run_icons_action(engine);
        }
        return run_check_action(engine);
    });
}

bool is_at_rest_for_self_update(UpdateEngine& engine) {
    const std::lock_guard hold(engine.state.lock);
    ensure_client_not_running(engine.client);
    return !is_update_interrupted(engine.client);
}

bool reports_clean(const UpdateEngine& engine) {
    return engine.state.view.clean.load();
}

const char* report_client_state(const UpdateEngine* engine) noexcept {
    return engine && engine->state.view.clean.load() ? "clean" : "unverified";
}

}  // namespace vorn
