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

struct UpdateEngine;

// Publishes through the engine's view (see publish_view). The engine must outlive it.
ProgressSink progress_sink(UpdateEngine& engine);

// hash_file_with_view of this engine. The engine must outlive it.
FileHasher file_hasher(UpdateEngine& engine);

DeltaSource delta_source(UpdateEngine& engine);
RebaseReceiptInputs rebase_receipt_inputs(UpdateEngine& engine);
GuildSource guild_source(UpdateEngine& engine);
GuildStateFile guild_state_file(const UpdateEngine& engine);
FeedTrust feed_trust(const UpdateEngine& engine);

}  // namespace vorn
