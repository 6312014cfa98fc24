#include "engine/engine_actions.h"

#include <windows.h>

#include <mutex>
#include <system_error>

#include "core/file_system.h"
#include "core/hex.h"
#include "core/text.h"
#include "delta/delta_fetch.h"
#include "engine/client_paths.h"
#include "engine/guild_icons.h"
#include "engine/installed_receipt.h"
#include "engine/manifest_fetch.h"
#include "engine/repair_state.h"
#include "engine/running_client.h"
#include "engine/startup_check.h"
#include "engine/subsystem_inputs.h"
#include "engine/update_action.h"
#include "engine/update_engine.h"
#include "engine/verification.h"

namespace vorn {
namespace {

constexpr std::size_t longest_report_code = 32;

LauncherError local_io_error(std::uint32_t code) {
    return LauncherError("local_io",
                         L"Не удалось завершить действие. Проверьте доступ к папке клиента.", code);
}

}  // namespace

void prepare_error_for_user(const UpdateEngine& engine, LauncherError& error) {
    if (error.stage == "delta_wrong_base") {
        const std::wstring archive = error.archive_path.empty()
                                         ? L"Архивы клиента"
                                         : L"Не подходит архив " + to_utf16(error.archive_path);
        error.message =
            archive +
            L". Исходная версия отличается от пакета обновления. Нужен совместимый пакет.";
    }
    if (engine.manifest_loaded) {
        error.file_count = static_cast<std::uint32_t>(engine.manifest.files.size());
        error.parse_ok = true;
    }
}

namespace {

// Every failure leaves the action as a LauncherError and the client unverified.
template <typename Body>
UiSnapshot guarded(UpdateEngine& engine, Body&& body) {
    try {
        return body();
    } catch (LauncherError& error) {
        engine.clean.store(false);
        engine.view.busy = false;
        engine.view.can_play = false;
        prepare_error_for_user(engine, error);
        throw;
    } catch (const std::system_error& error) {
        engine.clean.store(false);
        throw local_io_error(static_cast<std::uint32_t>(error.code().value()));
    } catch (...) {
        const DWORD code = GetLastError();
        engine.clean.store(false);
        throw local_io_error(code);
    }
}

UiSnapshot check_action(UpdateEngine& engine) {
    const VerificationPlan plan = prepare_verification(engine);
    if (plan.mismatches.empty()) {
        write_installed_receipt(engine, plan.manifest);
        publish_view(engine, {.phase = Phase::ready,
                              .percent = 100,
                              .title = L"Проверка завершена",
                              .detail = L"Все файлы клиента прошли проверку.",
                              .hint = L"Игровые файлы не изменялись.",
                              .busy = Busy::no});
        return engine.view;
    }
    publish_view(engine, {.phase = Phase::needs_action,
                          .percent = 100,
                          .title = L"Нужно обновление клиента",
                          .detail = L"Требуют восстановления: " +
                                    std::to_wstring(plan.mismatches.size()) + L" файлов.",
                          .hint = L"Нажмите «Обновить» для установки.",
                          .busy = Busy::no});
    return engine.view;
}

}  // namespace

UiSnapshot run_engine_action(UpdateEngine& engine, Action action) {
    const std::lock_guard hold(engine.lock);
    engine.manifest_loaded = false;
    return guarded(engine, [&] {
        if (action == Action::startup) {
            return startup_check(engine);
        }
        if ((action == Action::check || action == Action::icons) && is_update_interrupted(engine)) {
            throw LauncherError("recovery_required",
                                L"Сначала нажмите «Обновить», чтобы завершить восстановление.");
        }
        if (action == Action::update) {
            return run_update_action(engine);
        }
        if (action == Action::icons) {
            return run_icons_action(engine);
        }
        return check_action(engine);
    });
}

VerificationPlan fetch_verification_plan(UpdateEngine& engine) {
    VerificationPlan plan;
    plan.manifest = fetch_manifest(engine);
    if (plan.manifest.delta) {
        plan.delta = fetch_delta_manifest(delta_source(engine), plan.manifest);
    }
    return plan;
}

void verify_against_plan(UpdateEngine& engine, VerificationPlan& plan) {
    mark_repair_required(engine);
    const Overrides overrides =
        plan.delta ? updater_overrides(engine, plan.manifest, *plan.delta) : Overrides{};
    plan.mismatches = verify_client(engine, plan.manifest, overrides);
}

VerificationPlan prepare_verification(UpdateEngine& engine) {
    VerificationPlan plan = fetch_verification_plan(engine);
    verify_against_plan(engine, plan);
    return plan;
}

bool is_at_rest_for_self_update(UpdateEngine& engine) {
    const std::lock_guard hold(engine.lock);
    ensure_client_not_running(engine);
    return !is_update_interrupted(engine);
}

bool reports_clean(const UpdateEngine& engine) {
    return engine.clean.load();
}

const char* report_client_state(const UpdateEngine* engine) noexcept {
    return engine && engine->clean.load() ? "clean" : "unverified";
}

bool game_executable_present(const UpdateEngine& engine) {
    try {
        return is_plain_file(
            resolve_client_path(engine, default_executable, LinkCheck::refuse_links));
    } catch (const std::exception&) {
        return false;  // an unsafe or unreadable path is no game to start
    }
}

std::wstring saved_diagnostics_text(UpdateEngine& engine, const LauncherError& error, Action action,
                                    const std::wstring& fallback) {
    if (!engine.report) {
        return fallback;
    }
    try {
        LauncherError reported = error;
        if (engine.manifest_loaded) {
            reported.file_count = static_cast<std::uint32_t>(engine.manifest.files.size());
            reported.parse_ok = true;
        }
        const std::string code = engine.report(reported, action);
        if (!code.empty() && code.size() <= longest_report_code && is_lower_hex(code)) {
            return L"Диагностика сохранена. Код: " + to_utf16(code);
        }
    } catch (...) {
        // A failing report must not hide the state the user is shown.
    }
    return fallback;
}

}  // namespace vorn
