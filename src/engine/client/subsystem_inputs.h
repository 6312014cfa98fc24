// What the engine hands to the subsystems beneath it: its progress view, its hashing,
// and the folders and addresses each one needs. Nothing below the engine sees the engine.
#pragma once

#include "archive/rebase_receipt.h"
#include "delta/delta_fetch.h"
#include "guild/guild_download.h"
#include "guild/guild_state.h"
#include "model/progress.h"
#include "net/feed_trust.h"

namespace vorn {

struct ClientPlace;
struct EngineServices;
struct EngineView;

// Publishes through the engine's view (see publish_view). The engine must outlive it.
ProgressSink progress_sink(EngineView& view);

// hash_file_with_view of this engine. The engine must outlive it.
FileHasher file_hasher(EngineView& view);

DeltaSource delta_source(const ClientPlace& client, const EngineServices& services,
                         EngineView& view);
RebaseReceiptInputs rebase_receipt_inputs(const ClientPlace& client, EngineView& view);
GuildSource guild_source(const EngineServices& services);
GuildStateFile guild_state_file(const ClientPlace& client);
FeedTrust feed_trust(const ClientPlace& client, const EngineServices& services);

}  // namespace vorn
