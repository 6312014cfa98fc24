#include "engine/update/archive_rebase.h"

#include <windows.h>

#include "archive/archive_rebuild.h"
#include "archive/rebase_groups.h"
#include "archive/rebase_receipt.h"
#include "archive/tail_cache.h"
#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "engine/client/client_place.h"
#include "engine/client/disk_room.h"
#include "engine/client/engine_services.h"
#include "engine/client/engine_view.h"
#include "engine/client/file_hashing.h"
#include "engine/client/running_client.h"
#include "engine/client/subsystem_inputs.h"
#include "engine/install/install_transaction.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* compatibility_title = L"Сверяем исходные версии для обновления.";

// Links along the way are judged by each step with its own refusal, not the path rule's.
fs::path client_file(const ClientPlace& client, const std::string& path) {
    return resolve_client_path(client, path, LinkCheck::skip);
}

// Whether the live archive can take the package as it is (or was rebuilt for it already);
// what was read goes to `seen`.
bool is_compatible(const ClientPlace& client, EngineView& view, const DeltaEntry& entry,
                   const Overrides& receipt, KnownStates& seen) {
    const fs::path path = client_file(client, entry.path);
    if (!file_exists(path)) {
        return false;
    }
    if (refuses_as_file(path) || !is_plain_file(path)) {
        throw LauncherError("file_safety", L"Архив клиента недоступен или является ссылкой.");
    }
    const FileDigest live{
        hash_file_with_view(view, path, to_utf16(entry.path), compatibility_title),
        client_file_size(path)};
    seen[entry.path] = FileState{true, live};
    const auto rebuilt = receipt.find(entry.path);
    return live == *entry.base || live == entry.target ||
           (rebuilt != receipt.end() && live == rebuilt->second);
}

// The groups of the run and the space they need: tails, a staged copy and a backup each.
std::vector<RebaseGroup> plan_groups(const ClientPlace& client, const EngineServices& services,
                                     const DeltaManifest& delta,
                                     const std::set<std::string>& keys) {
    std::vector<RebaseGroup> groups;
    std::uint64_t archives = 0;
    std::uint64_t tails = 0;
    for (const std::string& key : keys) {
        groups.push_back(plan_rebase_group(delta, key));
        for (const DeltaEntry* entry : groups.back().entries()) {
            const fs::path path = client_file(client, entry->path);
            if (!is_plain_file(path)) {
                throw LauncherError("delta_rebase_missing",
                                    L"Не найден исходный архив: " + to_utf16(entry->path));
            }
            archives += client_file_size(path);
        }
        tails += groups.back().tail_entry().payload.raw.bytes;
    }
    require_room(client, services, tails + 2 * (archives + room_reserve));
    return groups;
}

struct RebaseRun {
    std::string id;
    fs::path folder;
    std::vector<StagedFile> staged;
    ExpectedStates expected;
    std::vector<RebasedArchive> archives;
};

ArchivePaths source_paths(const ClientPlace& client, const RebaseGroup& group) {
    ArchivePaths source{client_file(client, group.pck->path), std::nullopt};
    if (group.pkx) {
        source.pkx = client_file(client, group.pkx->path);
    } else {
        fs::path pkx = source.pck;
        pkx.replace_extension(L".pkx");
        if (file_exists(pkx) && client_file_size(pkx) != 0) {
            throw LauncherError("delta_rebase_layout",
                                L"Неизвестное разбиение архива: " + to_utf16(group.pck->path));
        }
    }
    return source;
}

// The archive's digest as the compatibility check read it, or read now. The transaction
// refuses to replace an archive that is no longer this, so the rebuild's source is what goes.
std::string source_digest(const ClientPlace& client, EngineView& view, const KnownStates& seen,
                          const std::string& path) {
    const auto found = seen.find(path);
    return found != seen.end() && found->second.exists
               ? found->second.digest.sha256
               : checksum_of(view, client_file(client, path), path);
}

void rebuild_group(const ClientPlace& client, const EngineServices& services, EngineView& view,
                   const Manifest& manifest, const KnownStates& seen, const RebaseGroup& group,
                   RebaseRun& run) {
    for (const DeltaEntry* entry : group.entries()) {
        run.expected[entry->path] = source_digest(client, view, seen, entry->path);
    }
    const fs::path tail =
        ensure_tail(delta_source(client, services, view), manifest, group.tail_entry().payload);
    const std::size_t k = run.staged.size();
    ArchivePaths output{run.folder / L"staged" / to_utf16(std::to_string(k) + ".bin"),
                        std::nullopt};
    if (group.pkx) {
        output.pkx = run.folder / L"staged" / to_utf16(std::to_string(k + 1) + ".bin");
    }
    const ArchivePaths source = source_paths(client, group);
    publish_view(view, {.phase = Phase::installing,
                        .title = L"Повторная полная загрузка архива не требуется.",
                        .detail = L"Архив: " + to_utf16(group.pck->path),
                        .hint = L"Обновляем ресурсы архива"});
    const RebuildResult result = rebuild_archive(source, tail, group.tail_start(), output);
    if (group.pkx && !result.pkx) {
        throw LauncherError("delta_rebase_pair", L"Не удалось подготовить обе части архива.");
    }
    RebasedArchive archive{.main = group.key, .changed_members = result.members_from_tail};
    archive.files.emplace_back(group.pck->path, result.pck);
    run.staged.push_back({group.pck->path, output.pck, result.pck.sha256});
    if (group.pkx) {
        archive.files.emplace_back(group.pkx->path, *result.pkx);
        run.staged.push_back({group.pkx->path, *output.pkx, result.pkx->sha256});
    }
    run.archives.push_back(std::move(archive));
}

void confirm_receipt(const ClientPlace& client, EngineView& view, const Manifest& manifest,
                     const DeltaManifest& delta, const RebaseRun& run) {
    const Overrides receipt = load_rebase_receipt(rebase_receipt_inputs(client, view), manifest.key,
                                                  delta.manifest_sha256);
    for (const RebasedArchive& archive : run.archives) {
        for (const auto& [path, digest] : archive.files) {
            const auto found = receipt.find(path);
            if (found == receipt.end() || found->second != digest) {
                throw LauncherError("delta_rebase_receipt",
                                    L"Не удалось подтвердить результат обновления архива.");
            }
        }
    }
}

}  // namespace

ArchiveCompatibility check_archive_compatibility(const ClientPlace& client, EngineView& view,
                                                 const DeltaManifest& delta,
                                                 const Manifest& manifest) {
    publish_view(view, {.phase = Phase::checking,
                        .title = compatibility_title,
                        .detail = L"Проверяем совместимость архивов"});
    const Overrides receipt = load_rebase_receipt(rebase_receipt_inputs(client, view), manifest.key,
                                                  delta.manifest_sha256);
    ArchiveCompatibility found;
    std::set<std::wstring> checked;
    for (const DeltaEntry& entry : delta.entries) {
        if (entry.base && checked.insert(manifest_path_identity(entry.path)).second &&
            !is_compatible(client, view, entry, receipt, found.seen)) {
            found.differing.insert(require_rebase_key(entry.path));
        }
    }
    return found;
}

KnownStates rebase_archives(const ClientPlace& client, const EngineServices& services,
                            EngineView& view, const Manifest& manifest, const DeltaManifest& delta,
                            const ArchiveCompatibility& found) {
    const std::set<std::string>& keys = found.differing;
    if (keys.empty()) {
        return {};
    }
    ensure_client_not_running(client);
    // Archives rebuilt by an earlier run stay recorded: the state file is written whole.
    const std::vector<RebasedArchive> earlier = load_rebase_groups(
        rebase_receipt_inputs(client, view), manifest.key, delta.manifest_sha256);
    RebaseRun run{.id = random_hex(16)};
    const std::vector<RebaseGroup> groups = plan_groups(client, services, delta, keys);
    run.folder = begin_transaction(client, services, run.id);
    try {
        for (const RebaseGroup& group : groups) {
            rebuild_group(client, services, view, manifest, found.seen, group, run);
        }
        ensure_client_not_running(client);
        commit_transaction(client, services, view, run.id, run.staged, run.expected);
    } catch (...) {
        abandon_transaction(client, run.id);
        throw;
    }
    std::vector<RebasedArchive> recorded = run.archives;
    for (const RebasedArchive& archive : earlier) {
        if (!keys.contains(archive.main)) {
            recorded.push_back(archive);
        }
    }
    write_rebase_state(rebase_receipt_inputs(client, view), manifest.key, delta.manifest_sha256,
                       recorded);
    confirm_receipt(client, view, manifest, delta, run);
    KnownStates installed;
    for (const RebasedArchive& archive : run.archives) {
        for (const auto& [path, digest] : archive.files) {
            installed[path] = FileState{true, digest};
        }
    }
    return installed;
}

}  // namespace vorn
