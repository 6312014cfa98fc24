#include "engine/client/repair_state.h"

#include "core/file_probes.h"
#include "core/file_system.h"
#include "delta/delta_roots.h"
#include "engine/client/accepted_updater.h"
#include "engine/client/client_place.h"
#include "engine/client/engine_view.h"

namespace vorn {

// The updater is hashed only when there is a journal to judge: the start-up check asks
// this several times and must stay cheap.
bool delta_journal_waits(const ClientPlace& client) {
    if (!file_exists(client.root / delta_journal_name)) {
        return false;
    }
    return delta_journal_exists(
        DeltaRootInputs{client.root, client.cache_dir, find_accepted_updater(client)});
}

void mark_repair_required(const ClientPlace& client, EngineView& view) {
    view.clean.exchange(false);
    write_text_file_atomic(client.marker_path, repair_marker_text);
}

bool is_repair_required(const ClientPlace& client) {
    return file_exists(client.marker_path) || file_exists(client.root / legacy_marker_name) ||
           file_exists(client.transaction_path) || delta_journal_waits(client);
}

bool is_update_interrupted(const ClientPlace& client) {
    return file_exists(client.transaction_path) || delta_journal_waits(client);
}

}  // namespace vorn
