#include "engine/update_action.h"

#include <windows.h>

#include <optional>
#include <set>

#include "core/file_probes.h"
#include "core/launcher_error.h"
#include "delta/delta_roots.h"
#include "engine/archive_rebase.h"
#include "engine/client_paths.h"
#include "engine/delta_update.h"
#include "engine/engine_actions.h"
#include "engine/guild_icons.h"
#include "engine/install_transaction.h"
#include "engine/installed_receipt.h"
#include "engine/recovery.h"
#include "engine/repair_state.h"
#include "engine/running_client.h"
#include "engine/update_engine.h"
#include "engine/verification.h"

namespace vorn {
namespace {

// The icon refresh that ends an update; its failure is reported, never the update's.
std::optional<LauncherError> refresh_guild_icons(UpdateEngine& engine) {
    try {
        update_guild_icons(engine);
        return std::nullopt;
    } catch (const LauncherError& error) {
        return error;
    } catch (const std::exception&) {
        // Whatever went wrong with the icons, the verified client stays verified.
        return LauncherError("local_io",
                             L"Не удалось завершить действие. Проверьте доступ к папке клиента.",
                             GetLastError());
    }
}

UiSnapshot icons_unavailable_view(UpdateEngine& engine, const LauncherError& error) {
    engine.clean.store(read_installed_receipt(engine).valid && !is_repair_required(engine) &&
                       game_executable_present(engine));
    publish_view(engine, {.phase = Phase::ready,
                          .percent = 100,
                          .title = L"Файлы клиента проверены",
                          .detail = L"Иконки кланов сейчас недоступны. Повторите кнопкой «Иконки».",
                          .hint = saved_diagnostics_text(engine, error, Action::update,
                                                         L"Повторите обновление иконок позже."),
                          .busy = Busy::no});
    return engine.view;
}

}  // namespace

UiSnapshot run_update_action(UpdateEngine& engine) {
    ensure_client_not_running(engine);
    const bool transaction = file_exists(engine.transaction_path);
    const bool delta_journal = delta_journal_waits(engine);
    if (transaction && delta_journal) {
        throw LauncherError("recovery_conflict",
                            L"Обнаружены два незавершённых обновления. Автоматическое "
                            L"восстановление остановлено.");
    }
    recover_transaction(engine);
    if (delta_journal) {
        recover_interrupted_delta(engine);
    }
    remove_stale_transactions(engine);

    VerificationPlan plan = prepare_verification(engine);
    const bool nothing_to_repair = plan.mismatches.empty();
    std::vector<ManifestFile> downloads = plan.mismatches;
    Overrides overrides;
    if (plan.delta) {
        const std::set<std::string> differing =
            check_archive_compatibility(engine, *plan.delta, plan.manifest);
        if (!differing.empty()) {
            rebase_archives(engine, plan.manifest, *plan.delta, differing);
            plan.mismatches = verify_client(engine, plan.manifest,
                                            updater_overrides(engine, plan.manifest, *plan.delta));
        }
        apply_delta_package(engine, plan.manifest, *plan.delta);
        // A file of the package is never downloaded whole, damaged or not: the package
        // repaired it, or the check below reports it.
        downloads = files_outside_package(plan.mismatches, *plan.delta);
        overrides = updater_overrides(engine, plan.manifest, *plan.delta);
    }
    install_files(engine, downloads);
    // The proof: every listed file read once more, against anything the steps above could
    // not see (a file another program changed meanwhile, a package and a download that
    // disagree) before the receipt vouches for the whole client.
    if (!verify_client(engine, plan.manifest, overrides).empty()) {
        throw LauncherError("post_install_check", L"Не все файлы прошли проверку после установки.");
    }
    // The receipt's write also removes the marker and sets clean once nothing is left to
    // repair.
    write_installed_receipt(engine, plan.manifest);
    keep_only_package_caches(engine, plan.delta ? &*plan.delta : nullptr);
    if (const auto failure = refresh_guild_icons(engine)) {
        return icons_unavailable_view(engine, *failure);
    }
    remove_file_if_present(engine.marker_path);
    engine.clean.store(!is_repair_required(engine));
    publish_view(engine, {.phase = Phase::ready,
                          .percent = 100,
                          .title = L"Клиент готов к игре",
                          .detail = nothing_to_repair ? L"Все файлы уже актуальны."
                                                      : L"Обновление установлено и проверено.",
                          .busy = Busy::no});
    return engine.view;
}

}  // namespace vorn
