#include "delta/delta_recovery.h"

#include <algorithm>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "delta/delta_journal.h"
#include "delta/observed_files.h"
#include "delta/work_folder.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

fs::path live_path(const DeltaRoots& roots, const DeltaPlanItem& item) {
    return resolve_delta_path(roots.root, item.path);
}

bool is_pinned_updater(const DeltaRoots& roots, const DeltaPlanItem& item, const FileState& live) {
    return roots.updater_pin && is_updater_path(item.path) && live.is(*roots.updater_pin);
}

void check_owner(const StoredJournal& stored) {
    const FileState owner = observe_file(stored.work_folder / L"owner.json");
    const std::string& text = stored.owner_text;
    const bool cleaning = stored.journal.phase == DeltaPhase::cleaning_committed ||
                          stored.journal.phase == DeltaPhase::cleaning_rollback;
    if (owner.exists ? !owner.is(FileDigest{sha256_string(text), text.size()}) : !cleaning) {
        fail_delta("delta_owner");
    }
}

// An updater that matched the pin at first sight must still match when hashed again.
void check_updater(const DeltaRoots& roots, const StoredJournal& stored,
                   const DeltaProgress& progress) {
    for (const DeltaPlanItem& item : stored.journal.items) {
        const fs::path live = live_path(roots, item);
        if (roots.updater_pin && is_updater_path(item.path) &&
            observe_file(live).is(*roots.updater_pin) &&
            !observe_file(live, progress, item.path).is(*roots.updater_pin)) {
            fail_delta("delta_updater_changed");
        }
    }
}

void write_phase(const DeltaRoots& roots, StoredJournal& stored, DeltaPhase phase) {
    stored.journal.phase = phase;
    write_delta_journal(roots, stored.journal);
}

void clean_and_forget(const DeltaRoots& roots, const StoredJournal& stored,
                      const std::vector<FileState>& live, const DeltaProgress& progress,
                      const std::vector<FileState>* backups = nullptr) {
    clean_work_folder(roots, stored, live, progress, backups);
    delete_delta_file(roots.journal_path);
}

// A committed run (or a finished rollback) whose live files were observed: every one is
// where the run left it.
void finish_observed(const DeltaRoots& roots, StoredJournal& stored, bool committed,
                     const std::vector<FileState>& live, const DeltaProgress& progress,
                     const std::vector<FileState>* backups = nullptr) {
    const auto& items = stored.journal.items;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const DeltaPlanItem& item = items[i];
        const bool expected = committed ? live[i].is(item.fresh) : live[i].is(item.old);
        if (!expected && !is_pinned_updater(roots, item, live[i])) {
            fail_delta("delta_cleanup_conflict");
        }
    }
    write_phase(roots, stored,
                committed ? DeltaPhase::cleaning_committed : DeltaPhase::cleaning_rollback);
    report(progress, "before_cleanup", {}, 0, 0);
    clean_and_forget(roots, stored, live, progress, backups);
}

void finish(const DeltaRoots& roots, StoredJournal& stored, bool committed,
            const DeltaProgress& progress) {
    const auto& items = stored.journal.items;
    ObservedFiles live_files(items.size(),
                             [&](std::size_t i) { return live_path(roots, items[i]); });
    std::vector<FileState> live;
    for (std::size_t i = 0; i < items.size(); ++i) {
        live.push_back(live_files.take(i, progress, items[i].path));
    }
    finish_observed(roots, stored, committed, live, progress);
}

struct Seen {
    FileState live;
    FileState backup;
    bool pinned = false;
};

Seen look(const DeltaRoots& roots, const StoredJournal& stored, const DeltaPlanItem& item,
          const DeltaProgress& progress) {
    Seen seen;
    const fs::path live = live_path(roots, item);
    const fs::path backup = resolve_delta_path(stored.work_folder, "backup/" + item.path);
    // The live file and its backup are read at once, on two cores.
    ObservedFiles pair(2, [&](std::size_t which) { return which == 0 ? live : backup; });
    seen.live = pair.take(0, progress, item.path);
    seen.backup = pair.take(1, progress, item.path);
    seen.pinned = is_pinned_updater(roots, item, seen.live);
    return seen;
}

bool consistent(const DeltaPlanItem& item, const Seen& seen) {
    if (item.keep) {
        return (seen.pinned || seen.live.is(item.old)) && !seen.backup.exists;
    }
    if (seen.live.exists && !seen.live.is(item.old) && !seen.pinned && !seen.live.is(item.fresh)) {
        return false;  // neither as it was nor as the run published it
    }
    if (!item.old) {
        return !seen.backup.exists;
    }
    if (seen.backup.exists) {
        return seen.backup.is(item.old);
    }
    return seen.pinned || seen.live.is(item.old);
}

void restore(const DeltaRoots& roots, const StoredJournal& stored, const DeltaPlanItem& item,
             const Seen& seen) {
    if (seen.pinned) {
        return;
    }
    if (!item.old && seen.live.exists) {
        delete_delta_file(live_path(roots, item));
    } else if (item.old && seen.backup.exists) {
        move_delta_file(resolve_delta_path(stored.work_folder, "backup/" + item.path),
                        live_path(roots, item), true);
    }
}

void roll_back(const DeltaRoots& roots, StoredJournal& stored, const DeltaProgress& progress) {
    const auto& items = stored.journal.items;
    std::vector<Seen> seen;
    for (const DeltaPlanItem& item : items) {
        seen.push_back(look(roots, stored, item, progress));
        if (!consistent(item, seen.back())) {
            fail_delta("delta_rollback_conflict");
        }
    }
    write_phase(roots, stored, DeltaPhase::rolling_back);
    for (std::size_t i = items.size(); i-- > 0;) {
        if (items[i].keep) {
            continue;
        }
        const Seen again = look(roots, stored, items[i], progress);
        if (!(again.live == seen[i].live) || !(again.backup == seen[i].backup)) {
            fail_delta("delta_rollback_conflict");
        }
        restore(roots, stored, items[i], seen[i]);
        report(progress, "rollback_restored", items[i].path, i, items.size());
    }
    ObservedFiles live_files(items.size(),
                             [&](std::size_t i) { return live_path(roots, items[i]); });
    std::vector<FileState> live;
    for (std::size_t i = 0; i < items.size(); ++i) {
        live.push_back(live_files.take(i, progress, items[i].path));
        const bool restored =
            seen[i].pinned ? live.back().is(*roots.updater_pin) : live.back().is(items[i].old);
        if (!restored) {
            fail_delta("delta_rollback_verify");
        }
    }
    write_phase(roots, stored, DeltaPhase::cleaning_rollback);
    report(progress, "before_cleanup", {}, 0, 0);
    clean_and_forget(roots, stored, live, progress);
}

}  // namespace

void run_delta_recovery(const DeltaRoots& roots, const DeltaProgress& progress) {
    // A journal write a crash cut short leaves its temporary beside the journal; the journal
    // itself is whole or absent, so the temporary holds nothing recovery needs.
    remove_stale_temporaries(roots.root,
                             [](std::wstring_view name) { return name == delta_journal_name; });
    std::optional<StoredJournal> stored = read_delta_journal(roots);
    if (!stored) {
        remove_orphan_runs(roots);
        return;
    }
    check_owner(*stored);
    check_updater(roots, *stored, progress);
    switch (stored->journal.phase) {
        case DeltaPhase::committed:
        case DeltaPhase::cleaning_committed:
            finish(roots, *stored, true, progress);
            return;
        case DeltaPhase::cleaning_rollback:
            finish(roots, *stored, false, progress);
            return;
        default:
            roll_back(roots, *stored, progress);
    }
}

void finish_committed_run(const DeltaRoots& roots, const std::vector<FileState>& live,
                          const std::vector<FileState>& backups, const DeltaProgress& progress) {
    std::optional<StoredJournal> stored = read_delta_journal(roots);
    if (!stored || stored->journal.phase != DeltaPhase::committed ||
        stored->journal.items.size() != live.size() || backups.size() != live.size()) {
        fail_delta("delta_journal");
    }
    check_owner(*stored);
    finish_observed(roots, *stored, true, live, progress, &backups);
}

void recover_delta(const DeltaRootInputs& inputs, const DeltaProgress& progress) {
    const DeltaRoots roots = resolve_delta_roots(inputs);
    const DeltaLock lock(roots);
    run_delta_recovery(roots, progress);
}

}  // namespace vorn
