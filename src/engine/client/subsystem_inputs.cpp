#include "engine/client/subsystem_inputs.h"

#include "engine/client/client_place.h"
#include "engine/client/engine_services.h"
#include "engine/client/engine_view.h"
#include "engine/client/file_hashing.h"

namespace vorn {

ProgressSink progress_sink(EngineView& view) {
    return [&view](const ViewUpdate& update) { publish_view(view, update); };
}

FileHasher file_hasher(EngineView& view) {
    return [&view](const std::filesystem::path& path, const std::wstring& display,
                   const std::wstring& title) {
        return hash_file_with_view(view, path, display, title);
    };
}

DeltaSource delta_source(const ClientPlace& client, const EngineServices& services,
                         EngineView& view) {
    return DeltaSource{
        .transport = services.transport.get(),
        .update_base_url = services.config.endpoints.update_base_url,
        .trust = services.config.url_trust(),
        .state_dir = client.cache_dir,
        .progress = progress_sink(view),
        .hash_file = file_hasher(view),
    };
}

RebaseReceiptInputs rebase_receipt_inputs(const ClientPlace& client, EngineView& view) {
    return RebaseReceiptInputs{
        .root = client.root, .state_dir = client.cache_dir, .hash_file = file_hasher(view)};
}

GuildSource guild_source(const EngineServices& services) {
    return GuildSource{.transport = services.transport.get(),
                       .base_url = services.config.endpoints.guild_base_url,
                       .fallback_url = services.config.endpoints.guild_fallback_url,
                       .trust = services.config.url_trust()};
}

GuildStateFile guild_state_file(const ClientPlace& client) {
    return GuildStateFile{.path = client.guild_state_path, .root_key = client.key};
}

FeedTrust feed_trust(const ClientPlace& client, const EngineServices& services) {
    return {
        .keys = services.config.feed_keys, .state_dir = client.cache_dir, .client_key = client.key};
}

}  // namespace vorn
