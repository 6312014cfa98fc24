#include "engine/repair_state.h"

#include "core/file_probes.h"
#include "core/file_system.h"
#include "delta/delta_roots.h"
#include "engine/accepted_updater.h"
#include "engine/client_paths.h"
#include "engine/update_engine.h"

namespace vorn {

// The updater is hashed only when there is a journal to judge: the start-up check asks
// this several times and must stay cheap.
bool delta_journal_waits(const UpdateEngine& engine) {
    if (!file_exists(engine.root / delta_journal_name)) {
        return false;
    }
    return delta_journal_exists(
        DeltaRootInputs{engine.root, engine.cache_dir, find_accepted_updater(engine)});
}

void mark_repair_required(UpdateEngine& engine) {
    engine.clean.exchange(false);
    write_text_file_atomic(engine.marker_path, repair_marker_text);
}

bool is_repair_required(const UpdateEngine& engine) {
    return file_exists(engine.marker_path) || file_exists(engine.root / legacy_marker_name) ||
           file_exists(engine.transaction_path) || delta_journal_waits(engine);
}

bool is_update_interrupted(const UpdateEngine& engine) {
    return file_exists(engine.transaction_path) || delta_journal_waits(engine);
}

}  // namespace vorn
