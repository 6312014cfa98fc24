#include "engine/client/client_place.h"

#include "archive/rebase_receipt.h"
#include "core/client_key.h"
#include "core/sha256.h"
#include "core/text.h"
#include "diagnostics/diagnostics_service.h"
#include "guild/guild_state.h"

namespace vorn {
namespace {

bool is_state_file_name(std::wstring_view name) {
    for (const wchar_t* state :
         {receipt_file_name, marker_file_name, transaction_file_name, guild_state_file_name,
          rebase_state_file_name, last_report_file_name}) {
        if (name == state) {
            return true;
        }
    }
    return false;
}

}  // namespace

ClientPlace open_client_place(const LauncherConfig& config) {
    ClientPlace client;
    client.root = absolute_normal(config.root);
    client.cache_dir = absolute_normal(config.cache_dir);
    require_local_path_length(client.root);
    require_local_path_length(client.cache_dir);
    client.key = client_key(client.root);
    client.feed = feed_digest(config.endpoints.manifest_url);
    client.local_test = config.local_test;
    ensure_service_directory(client.cache_dir);
    // A launcher killed while it wrote a state file leaves its temporary behind; no other
    // launcher serves this client now, so none of them is in use.
    remove_stale_temporaries(client.cache_dir, is_state_file_name);

    client.receipt_path = client.cache_dir / receipt_file_name;
    client.marker_path = client.cache_dir / marker_file_name;
    client.transaction_path = client.cache_dir / transaction_file_name;
    client.guild_state_path = client.cache_dir / guild_state_file_name;
    for (const auto* path : {&client.receipt_path, &client.marker_path, &client.transaction_path,
                             &client.guild_state_path}) {
        require_local_path_length(*path);
    }
    return client;
}

std::filesystem::path resolve_client_path(const ClientPlace& client, std::string_view relative,
                                          LinkCheck links) {
    return resolve_client_path(client.root, relative, links);
}

std::string feed_digest(const std::wstring& manifest_url) {
    return sha256_string(to_utf8(manifest_url));
}

}  // namespace vorn
