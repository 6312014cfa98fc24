#include "engine/client/accepted_updater.h"

#include <set>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "engine/client/client_file_hash.h"
#include "engine/client/client_place.h"

namespace vorn {

bool is_accepted_updater_digest(std::string_view sha256) {
    const auto builds = accepted_updater_build_list();
    if (!builds.empty() && builds.front() == sha256) {
        return true;
    }
    // Built once; a function-local static is initialised thread-safely.
    static const std::set<std::string_view> earlier(builds.begin() + (builds.empty() ? 0 : 1),
                                                    builds.end());
    return earlier.contains(sha256);
}

std::optional<FileDigest> find_accepted_updater(const ClientPlace& client) {
    const std::filesystem::path path =
        resolve_client_path(client, updater_relative_path, LinkCheck::refuse_links);
    if (!is_plain_file(path)) {
        return std::nullopt;
    }
    FileDigest digest{hash_client_file(path), 0};
    digest.bytes = client_file_size(path);
    if (!is_accepted_updater_digest(digest.sha256)) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace vorn
