#include "engine/actions/icons_action.h"

#include "core/file_probes.h"
#include "engine/client/repair_state.h"
#include "engine/client/running_client.h"
#include "engine/client/update_engine.h"
#include "engine/install/install_transaction.h"
#include "engine/manifest/installed_receipt.h"
#include "engine/update/guild_icons.h"

namespace vorn {

UiSnapshot run_icons_action(UpdateEngine& engine) {
    const ClientPlace& client = engine.client;
    EngineView& view = engine.state.view;
    ensure_client_not_running(client);
    remove_stale_transactions(client);
    const bool was_clean = read_installed_receipt(client).valid && !is_repair_required(client) &&
                           game_executable_present(client);
    update_guild_icons(client, engine.services, view);
    if (was_clean) {
        // The install marked the client for repair while it moved the archive; the
        // client was verified before and the archive is vouched for by the guild state.
        remove_file_if_present(client.marker_path);
    }
    view.clean.store(was_clean && !is_repair_required(client));
    publish_view(view, {.phase = Phase::ready,
                        .percent = 100,
                        .title = L"Иконки кланов обновлены",
                        .detail = L"Посторонние файлы архива сохранены.",
                        .busy = Busy::no});
    return view.snapshot;
}

}  // namespace vorn
