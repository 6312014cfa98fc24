#include "delta/delta_apply.h"

#include <windows.h>

#include <map>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "delta/delta_plan.h"
#include "delta/observed_files.h"
#include "delta/delta_journal.h"
#include "delta/delta_recovery.h"
#include "delta/delta_staging.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t space_reserve = 67108864;

bool needs_work(const DeltaPlanItem& item) {
    return !item.keep;
}

// Payload path by compressed digest: each payload is resolved and proven once.
using ResolvedPayloads = std::map<std::string, fs::path>;

ResolvedPayloads resolve_payloads(const DeltaRoots& roots, const DeltaManifest& manifest,
                                  const std::vector<DeltaPlanItem>& items,
                                  const PayloadProvider& payloads) {
    if (!payloads) {
        fail_delta("delta_payload_resolver");
    }
    const std::wstring state_dir = lower_wide(roots.state_dir.native()) + L"\\";
    ResolvedPayloads resolved;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const delta::Payload& payload = manifest.entries[i].payload;
        if (!needs_work(items[i]) || resolved.contains(payload.compressed.sha256)) {
            continue;
        }
        const fs::path path = absolute_normal(payloads(payload));
        if (!lower_wide(path.native()).starts_with(state_dir)) {
            fail_delta("delta_payload_path");
        }
        if (!observe_file(path).is(payload.compressed)) {
            fail_delta("delta_compressed_integrity");
        }
        resolved.emplace(payload.compressed.sha256, path);
    }
    return resolved;
}

void require_space(const DeltaRoots& roots, const std::vector<DeltaPlanItem>& items) {
    std::uint64_t needed = space_reserve;
    for (const DeltaPlanItem& item : items) {
        needed += needs_work(item) ? item.fresh.bytes : 0;
    }
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(long_path(roots.root).c_str(), &available, nullptr, nullptr)) {
        fail_delta_io("delta_space", GetLastError());
    }
    if (available.QuadPart < needed) {
        throw LauncherError("delta_space", disk_full_message);
    }
}

void stage_item(const DeltaRoots& roots, const fs::path& folder, const DeltaEntry& entry,
                const fs::path& payload_path, const DeltaProgress& progress) {
    stage_entry(resolve_delta_path(roots.root, entry.path),
                resolve_delta_path(folder, "staged/" + entry.path), entry, payload_path, progress);
}

// Against another program changing a live file while the package was staged: every item
// but a staged append is still as it was ("delta_source_changed"). An append's base is not
// read here: the staging proved it in the pass that copied it, and the publish reads it
// again right before its move.
void require_unchanged_sources(const DeltaRoots& roots, const DeltaManifest& manifest,
                               const std::vector<DeltaPlanItem>& items,
                               const DeltaProgress& progress) {
    std::vector<std::size_t> read;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!needs_work(items[i]) || manifest.entries[i].operation != "append") {
            read.push_back(i);
        }
    }
    ObservedFiles live_files(read.size(), [&](std::size_t k) {
        return resolve_delta_path(roots.root, items[read[k]].path);
    });
    for (std::size_t k = 0; k < read.size(); ++k) {
        const DeltaPlanItem& item = items[read[k]];
        if (!live_files.take(k, progress, item.path).is(item.old)) {
            fail_delta("delta_source_changed");
        }
    }
}

// What the publish read of one item right before its move, still held: the old file (now
// the backup) and the new one (now live). No one can write either while they are held.
struct PublishedItem {
    HeldFile old_file;
    HeldFile new_file;
};

// Returns one entry per item (empty for an item kept as it is).
std::vector<PublishedItem> publish_items(const DeltaRoots& roots, const fs::path& folder,
                                         const std::vector<DeltaPlanItem>& items,
                                         const DeltaProgress& progress) {
    std::vector<PublishedItem> published(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const DeltaPlanItem& item = items[i];
        if (!needs_work(item)) {
            continue;
        }
        const fs::path live = resolve_delta_path(roots.root, item.path);
        const fs::path staged = resolve_delta_path(folder, "staged/" + item.path);
        const fs::path backup = resolve_delta_path(folder, "backup/" + item.path);
        // Right before the move, against a change since staging, on either side: the live
        // and the staged file are read at once, on two cores, and held.
        ObservedFiles pair(
            2, [&](std::size_t which) { return which == 0 ? live : staged; }, true);
        published[i] = {pair.take_held(0, progress, item.path),
                        pair.take_held(1, progress, item.path)};
        if (!published[i].old_file.state.is(item.old) ||
            !published[i].new_file.state.is(item.fresh) || observe_file(backup).exists) {
            fail_delta("delta_publish_conflict");
        }
        if (item.old) {
            move_delta_file(live, backup, false);
            report(progress, "backed_up", item.path, i + 1, items.size());
        }
        move_delta_file(staged, live, false);
        report(progress, "published", item.path, i + 1, items.size());
    }
    return published;
}

struct CommitCheck {
    std::vector<FileState> live;
    std::vector<FileState> backups;
};

// What is at `path`: the held file's state when the path names the very file it holds
// (nothing could write it since it was read), else read now.
FileState state_at(const fs::path& path, const HeldFile& held, const DeltaProgress& progress,
                   const std::string& display) {
    if (held.handle && held.identity && names_file(path, *held.identity)) {
        return held.state;
    }
    return observe_file(path, progress, display);
}

// Every live file must be its target ("delta_commit_verify"); its backup is observed too, so
// the cleanup that follows the commit need not read either. A file the publish moved is
// known by the handle that holds it; any other is read.
CommitCheck check_commit(const DeltaRoots& roots, const fs::path& folder,
                         const std::vector<DeltaPlanItem>& items,
                         std::vector<PublishedItem>& published, const DeltaProgress& progress) {
    CommitCheck checked;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string& path = items[i].path;
        checked.live.push_back(
            state_at(resolve_delta_path(roots.root, path), published[i].new_file, progress, path));
        if (!checked.live.back().is(items[i].fresh)) {
            fail_delta("delta_commit_verify");
        }
        checked.backups.push_back(state_at(resolve_delta_path(folder, "backup/" + path),
                                           published[i].old_file, progress, "backup/" + path));
        published[i] = {};  // let go before the cleanup deletes the backup
    }
    return checked;
}

// A real folder: a link there could send staged files and backups out of the client.
void require_real_folder(const fs::path& folder) {
    const DWORD attributes = file_attributes(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        fail_delta_io("delta_owner", GetLastError());
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        fail_delta("delta_reparse");
    }
}

// Creates work_root\<id>, which must be new.
fs::path create_run_folder(const DeltaRoots& roots, const std::string& id) {
    if (!CreateDirectoryW(long_path(roots.work_root).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        fail_delta_io("delta_owner", GetLastError());
    }
    require_real_folder(roots.work_root);
    const fs::path folder = run_folder(roots, id);
    if (!CreateDirectoryW(long_path(folder).c_str(), nullptr)) {
        fail_delta("delta_owner");
    }
    require_real_folder(folder);
    return folder;
}

// The owner file, then the journal. Until the journal exists nothing points at the run's
// folder, so a failure in between takes the folder away again.
void begin_run(const DeltaRoots& roots, const fs::path& folder, const DeltaJournal& journal) {
    try {
        write_text_file_atomic(folder / L"owner.json", owner_text(journal));
        write_delta_journal(roots, journal);
    } catch (...) {
        if (!fs::exists(roots.journal_path)) {
            std::error_code ignored;
            fs::remove(folder / L"owner.json", ignored);
            fs::remove(folder, ignored);
        }
        throw;
    }
}

void stage_all(const DeltaRoots& roots, const fs::path& folder, const DeltaManifest& manifest,
               const std::vector<DeltaPlanItem>& items, const ResolvedPayloads& payloads,
               const DeltaProgress& progress) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (needs_work(items[i])) {
            const DeltaEntry& entry = manifest.entries[i];
            stage_item(roots, folder, entry, payloads.at(entry.payload.compressed.sha256),
                       progress);
            report(progress, "staged_file", entry.path, i + 1, items.size());
        }
    }
}

void run_apply(const DeltaRoots& roots, const DeltaManifest& manifest,
               std::vector<DeltaPlanItem> items, const ResolvedPayloads& payloads,
               const DeltaProgress& progress) {
    DeltaJournal journal{.id = random_hex(16),
                         .root = roots.root_utf8,
                         .manifest_sha256 = manifest.manifest_sha256,
                         .manifest_text = manifest.manifest_text,
                         .phase = DeltaPhase::staging,
                         .items = std::move(items)};
    const fs::path folder = create_run_folder(roots, journal.id);
    begin_run(roots, folder, journal);  // from here on a crash is undone by recovery
    stage_all(roots, folder, manifest, journal.items, payloads, progress);
    require_unchanged_sources(roots, manifest, journal.items, progress);
    journal.phase = DeltaPhase::staged;
    write_delta_journal(roots, journal);
    report(progress, "staged_all", {}, 0, 0);
    journal.phase = DeltaPhase::publishing;
    write_delta_journal(roots, journal);
    std::vector<PublishedItem> published = publish_items(roots, folder, journal.items, progress);
    // Against a move that left other bytes in place: the run is committed only when every
    // live file is its target.
    const CommitCheck checked = check_commit(roots, folder, journal.items, published, progress);
    journal.phase = DeltaPhase::committed;
    write_delta_journal(roots, journal);
    report(progress, "committed", {}, 0, 0);
    // Cleans the run and drops the journal.
    finish_committed_run(roots, checked.live, checked.backups, progress);
}

}  // namespace

DeltaPlanSummary plan_delta(const DeltaRootInputs& inputs, const DeltaManifest& manifest,
                            const Overrides& overrides, const DeltaProgress& progress,
                            const KnownStates& known) {
    const DeltaRoots roots = resolve_delta_roots(inputs);
    const DeltaLock lock(roots);
    if (observe_file(roots.journal_path).exists) {
        fail_delta("delta_recovery_required");
    }
    require_plan_unchanged(manifest);
    DeltaPlanSummary summary;
    for (const DeltaPlanItem& item : plan_items(roots, manifest, overrides, known, progress)) {
        if (needs_work(item)) {
            summary.up_to_date = false;
            ++summary.work_items;
            summary.target_bytes += item.fresh.bytes;
        }
    }
    return summary;
}

void apply_delta(const DeltaRootInputs& inputs, const DeltaManifest& manifest,
                 const PayloadProvider& payloads, const DeltaProgress& progress,
                 const Overrides& overrides, const KnownStates& known) {
    const DeltaRoots roots = resolve_delta_roots(inputs);
    const DeltaLock lock(roots);
    // A recovery here moves live files back, and then what the caller saw is out of date.
    const bool recovered = observe_file(roots.journal_path).exists;
    run_delta_recovery(roots, progress);
    require_plan_unchanged(manifest);
    std::vector<DeltaPlanItem> items =
        plan_items(roots, manifest, overrides, recovered ? KnownStates{} : known, progress);
    if (std::none_of(items.begin(), items.end(), needs_work)) {
        return;
    }
    const ResolvedPayloads resolved = resolve_payloads(roots, manifest, items, payloads);
    require_space(roots, items);
    run_apply(roots, manifest, std::move(items), resolved, progress);
}

}  // namespace vorn
