#include "core/stage_codes.h"

#include <array>
#include <set>
#include <string>
#include <string_view>

#include "core/launcher_error.h"

namespace vorn {
namespace {

// The closed vocabulary of stage codes that a diagnostic report may carry.
constexpr std::array<std::string_view, 166> known_stage_list = {
    "unknown",
    "winhttp_open",
    "set_timeouts",
    "connect",
    "open_request",
    "tls12_option",
    "send_request",
    "receive_response",
    "http_status",
    "content_length",
    "content_encoding",
    "body_limit",
    "read_body",
    "truncated_body",
    "empty_body",
    "parse_manifest",
    "file_capacity",
    "allocate_body",
    "local_cache",
    "update_failed",
    "verify_failed",
    "complete",
    "disk_space",
    "download_blob",
    "decompress_patch",
    "hash_patch",
    "replace_file",
    "file_permissions",
    "file_locked",
    "self_update_download",
    "self_update_hash",
    "self_update_staging",
    "parse_json",
    "url",
    "cancelled",
    "manifest_parse",
    "manifest_schema",
    "manifest_size",
    "manifest_capacity",
    "manifest_path",
    "manifest_hash",
    "manifest_download",
    "disk_write",
    "file_hash",
    "cache_write",
    "guild_download",
    "icon_package",
    "state_read",
    "state_write",
    "game_path",
    "game_launch",
    "self_update_descriptor",
    "self_update_version",
    "self_update_missing_component",
    "self_update_signature",
    "self_update_untrusted_component",
    "self_update_spawn",
    "startup_health",
    "qa_spawn_blocked",
    "http_timeout",
    "http_connect",
    "http_request",
    "http_send",
    "http_receive",
    "http_read",
    "http_length",
    "http_encoding",
    "cache_read",
    "cache_corrupt",
    "manifest_empty",
    "manifest_files",
    "manifest_version",
    "manifest_count",
    "manifest_sha",
    "file_read",
    "file_write",
    "file_replace",
    "decompress",
    "cancel",
    "memory",
    "path",
    "scan",
    "receipt",
    "receipt_read",
    "receipt_write",
    "dirty_marker",
    "download",
    "sha256",
    "size_mismatch",
    "manifest_limit",
    "local_state",
    "install_replace",
    "backup_write",
    "local_path_length",
    "file_safety",
    "guild_pck_read",
    "guild_pck_safety",
    "guild_pck_format",
    "guild_pck_split",
    "guild_pck_limit",
    "guild_pck_keys",
    "guild_pck_index",
    "guild_png",
    "guild_image",
    "guild_memory",
    "guild_dimensions",
    "guild_stage",
    "guild_verify",
    "guild_text",
    "transport",
    "receipt_verify",
    "recovery_required",
    "manifest_executable",
    "transaction_state",
    "recovery_backup",
    "recovery_conflict",
    "stage_verify",
    "backup_verify",
    "install_conflict",
    "install_verify",
    "blob_http",
    "blob_sha",
    "guild_pck_missing",
    "guild_version",
    "guild_version_changed",
    "guild_conflict",
    "post_install_check",
    "local_io",
    "play_blocked",
    "test_no_game",
    "crypto",
    "http_headers",
    "unicode",
    "unsafe_path",
    "create_directory",
    "file_limit",
    "truncated_file",
    "qa_network_blocked",
    "untrusted_url",
    "qa_config",
    "http_method",
    "decompress_limit",
    "compress_limit",
    "compress",
    "tls_option",
    "worker_start",
    "client_unverified",
    "qa_play_blocked",
    "instance_mutex",
    "unexpected_error",
    "dns",
    "tls",
    "timeout",
    "redirect_policy",
    "manifest_http",
    "blob_length",
    "guild_http",
    "feed_unsigned",
    "feed_signature_form",
    "feed_key_unknown",
    "feed_signature_bad",
    "feed_kind_mismatch",
    "feed_document_mismatch",
    "feed_rollback",
    "feed_expired",
    "download_range",
};

constexpr std::size_t longest_prefixed_stage = 64;

bool is_prefixed_stage(std::string_view stage) {
    if (!stage.starts_with("delta_") && !stage.starts_with("pck_rebase_")) {
        return false;
    }
    if (stage.size() > longest_prefixed_stage) {
        return false;
    }
    for (const char c : stage) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool is_known_stage(std::string_view stage) {
    // Built once; thread-safe first use.
    static const std::set<std::string, std::less<>> known(known_stage_list.begin(),
                                                          known_stage_list.end());
    return known.contains(stage) || is_prefixed_stage(stage);
}

}  // namespace vorn
