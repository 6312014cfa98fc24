#include "engine/subsystem_inputs.h"

#include "engine/file_hashing.h"
#include "engine/update_engine.h"

namespace vorn {

ProgressSink progress_sink(UpdateEngine& engine) {
    return [&engine](const ViewUpdate& update) { publish_view(engine, update); };
}

FileHasher file_hasher(UpdateEngine& engine) {
    return [&engine](const std::filesystem::path& path, const std::wstring& display,
                     const std::wstring& title) {
        return hash_file_with_view(engine, path, display, title);
    };
}

DeltaSource delta_source(UpdateEngine& engine) {
    return DeltaSource{
        .transport = engine.transport.get(),
        .update_base_url = engine.config.endpoints.update_base_url,
        .trust = engine.config.url_trust(),
        .state_dir = engine.cache_dir,
        .progress = progress_sink(engine),
        .hash_file = file_hasher(engine),
    };
}

RebaseReceiptInputs rebase_receipt_inputs(UpdateEngine& engine) {
    return RebaseReceiptInputs{
        .root = engine.root, .state_dir = engine.cache_dir, .hash_file = file_hasher(engine)};
}

GuildSource guild_source(UpdateEngine& engine) {
    return GuildSource{.transport = engine.transport.get(),
                       .base_url = engine.config.endpoints.guild_base_url,
                       .fallback_url = engine.config.endpoints.guild_fallback_url,
                       .trust = engine.config.url_trust()};
}

GuildStateFile guild_state_file(const UpdateEngine& engine) {
    return GuildStateFile{.path = engine.guild_state_path, .root_key = engine.key};
}

FeedTrust feed_trust(const UpdateEngine& engine) {
    return {
        .keys = engine.config.feed_keys, .state_dir = engine.cache_dir, .client_key = engine.key};
}

}  // namespace vorn
