#include "engine/actions/update_action.h"

#include <windows.h>

#include <optional>

#include "core/file_probes.h"
#include "core/launcher_error.h"
#include "engine/actions/action_errors.h"
#include "engine/actions/verification_plan.h"
#include "engine/client/repair_state.h"
#include "engine/client/running_client.h"
#include "engine/client/update_engine.h"
#include "engine/install/install_transaction.h"
#include "engine/install/recovery.h"
#include "engine/manifest/installed_receipt.h"
#include "engine/update/archive_rebase.h"
#include "engine/update/delta_update.h"
#include "engine/update/guild_icons.h"
#include "engine/update/verification.h"

namespace vorn {
namespace {

// Finishes or undoes whatever an earlier run left half-done, before anything is verified.
void recover_interrupted_updates(const ClientPlace& client, EngineView& view) {
    const bool transaction = file_exists(client.transaction_path);
    const bool delta_journal = delta_journal_waits(client);
    if (transaction && delta_journal) {
        throw LauncherError("recovery_conflict",
                            L"Обнаружены два незавершённых обновления. Автоматическое "
                            L"восстановление остановлено.");
    }
    recover_transaction(client, view);
    if (delta_journal) {
        recover_interrupted_delta(client, view);
    }
    remove_stale_transactions(client);
}

// The package's part: archives the player changed rebased, then the package applied.
// Leaves in `downloads` the mismatches the package does not cover.
void apply_package(UpdateEngine& engine, VerificationPlan& plan,
                   std::vector<ManifestFile>& downloads) {
    const ClientPlace& client = engine.client;
    EngineView& view = engine.state.view;
    ArchiveCompatibility archives =
        check_archive_compatibility(client, view, *plan.delta, plan.manifest);
    if (!archives.differing.empty()) {
        // The rebuilt archives replace what was seen of them. The mismatches stay as they
        // are: the rebase changes only the package's files, which are never downloaded whole.
        for (const auto& [path, state] :
             rebase_archives(client, engine.services, view, plan.manifest, *plan.delta, archives)) {
            archives.seen.insert_or_assign(path, state);
        }
        // The receipt now vouches for the rebuilt archives.
        plan.overrides = updater_overrides(client, view, plan.manifest, *plan.delta);
    }
    // The package keeps every override as it is, so they stay what the proof accepts.
    apply_delta_package(client, engine.services, view, plan.manifest, *plan.delta, plan.overrides,
                        archives.seen);
    // A file of the package is never downloaded whole, damaged or not: the package
    // repaired it, or the proof reports it.
    downloads = files_outside_package(plan.mismatches, *plan.delta);
}

// The icon refresh that ends an update; its failure is reported, never the update's.
std::optional<LauncherError> refresh_guild_icons(UpdateEngine& engine) {
    try {
        update_guild_icons(engine.client, engine.services, engine.state.view);
        return std::nullopt;
    } catch (const LauncherError& error) {
        return error;
    } catch (const std::exception&) {
        // Whatever went wrong with the icons, the verified client stays verified.
        return local_io_error(GetLastError());
    }
}

UiSnapshot icons_unavailable_view(UpdateEngine& engine, const LauncherError& error) {
    const ClientPlace& client = engine.client;
    EngineView& view = engine.state.view;
    view.clean.store(read_installed_receipt(client).valid && !is_repair_required(client) &&
                     game_executable_present(client));
    publish_view(view, {.phase = Phase::ready,
                        .percent = 100,
                        .title = L"Файлы клиента проверены",
                        .detail = L"Иконки кланов сейчас недоступны. Повторите кнопкой «Иконки».",
                        .hint = saved_diagnostics_text(engine, error, Action::update,
                                                       L"Повторите обновление иконок позже."),
                        .busy = Busy::no});
    return view.snapshot;
}

}  // namespace

UiSnapshot run_update_action(UpdateEngine& engine) {
    const ClientPlace& client = engine.client;
    EngineView& view = engine.state.view;
    ensure_client_not_running(client);
    recover_interrupted_updates(client, view);

    VerificationPlan plan = prepare_verification(engine);
    const bool nothing_to_repair = plan.mismatches.empty();
    std::vector<ManifestFile> downloads = plan.mismatches;
    if (plan.delta) {
        apply_package(engine, plan, downloads);
    }
    install_files(client, engine.services, view, downloads);
    // The proof: every listed file read once more, against anything the steps above could
    // not see (a file another program changed meanwhile, a package and a download that
    // disagree) before the receipt vouches for the whole client.
    if (!verify_client(client, view, plan.manifest, plan.overrides).empty()) {
        throw LauncherError("post_install_check", L"Не все файлы прошли проверку после установки.");
    }
    // The receipt's write also removes the marker and sets clean once nothing is left to
    // repair.
    write_installed_receipt(client, view, plan.manifest);
    keep_only_package_caches(client, plan.delta ? &*plan.delta : nullptr);
    if (const auto failure = refresh_guild_icons(engine)) {
        return icons_unavailable_view(engine, *failure);
    }
    remove_file_if_present(client.marker_path);
    view.clean.store(!is_repair_required(client));
    publish_view(view, {.phase = Phase::ready,
                        .percent = 100,
                        .title = L"Клиент готов к игре",
                        .detail = nothing_to_repair ? L"Все файлы уже актуальны."
                                                    : L"Обновление установлено и проверено.",
                        .busy = Busy::no});
    return view.snapshot;
}

}  // namespace vorn
