#include "archive/tail_cache.h"

#include <set>
#include <string>
#include <vector>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "delta/payload_cache.h"
#include "delta/payload_inflate.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail_cache() {
    throw LauncherError("delta_rebase_cache",
                        L"Сохранённые данные архива повреждены. Проверка остановлена.");
}

// An inflate a crash cut short leaves "<cache file>.<32 hex digits>.tmp"; nothing reads it.
void remove_unfinished_tails(const fs::path& tail) {
    const std::wstring prefix = tail.filename().native() + L".";
    const auto entries = list_folder(tail.parent_path(), (prefix + L"*.tmp").c_str());
    for (const FolderEntry& entry : entries.value_or(std::vector<FolderEntry>{})) {
        const std::wstring_view name = entry.name;
        if (name.size() == prefix.size() + 32 + 4 &&
            (entry.attributes & link_or_directory_mask) == 0 &&
            is_lower_hex(name.substr(prefix.size(), 32))) {
            DeleteFileW(long_path(tail.parent_path() / entry.name).c_str());  // best effort
        }
    }
}

}  // namespace

fs::path ensure_tail(const DeltaSource& source, const Manifest& manifest,
                     const delta::Payload& payload) {
    // A link where the cache file belongs is refused as a damaged cache, below.
    const fs::path tail = resolve_relative_path(
        source.state_dir, std::string(tail_cache_folder) + "/" + payload.raw.sha256 + ".bin",
        LinkCheck::skip);
    require_local_path_length(tail);
    if (file_exists(tail)) {
        if (!is_plain_file(tail)) {
            fail_cache();
        }
        if (client_file_size(tail) != payload.raw.bytes ||
            source.hash_file(tail, tail.filename().native(), checksum_title) !=
                payload.raw.sha256) {
            discard_damaged_cache_file(tail);  // the next run inflates it again
            fail_cache();
        }
        return tail;
    }
    const fs::path compressed = cached_payload(source, manifest, payload);
    ensure_service_directory(tail.parent_path());
    remove_unfinished_tails(tail);
    const fs::path temporary = tail.native() + L"." + to_utf16(random_hex(16)) + L".tmp";
    inflate_to_file(compressed, temporary, payload);
    if (!MoveFileExW(long_path(temporary).c_str(), long_path(tail).c_str(),
                     MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(long_path(temporary).c_str());
        throw LauncherError("delta_rebase_cache",
                            L"Не удалось сохранить данные архива. Проверка остановлена.", error);
    }
    return tail;
}

void keep_only_package_tails(const fs::path& state_dir, const DeltaManifest* package) noexcept {
    std::set<std::string> named;
    for (const DeltaEntry& entry : package ? package->entries : std::vector<DeltaEntry>{}) {
        named.insert(entry.payload.raw.sha256);
    }
    keep_only_named(state_dir / tail_cache_folder, L".bin", named);
}

}  // namespace vorn
