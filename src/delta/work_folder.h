// Removing one run's work folder, after proving that it holds nothing but what the run put
// there.
#pragma once

#include <vector>

#include "delta/delta_files.h"
#include "delta/delta_journal.h"

namespace vorn {

// Walks the run's folder: every file must be the owner file, a staged file (complete, or a
// prefix no larger than its target) or a backup of the file it replaced. Just before
// deleting, every live file must still be in the state `live` recorded. Then every file
// and folder of the run goes; the work root and the lock stay. ("delta_cleanup",
// "delta_cleanup_conflict", "delta_delete").
// `backups`, when given, are the items' backups (absent where an item has none) as this
// process observed them together with `live` a moment ago, with nothing but journal writes
// since: then neither is read again.
void clean_work_folder(const DeltaRoots& roots, const StoredJournal& stored,
                       const std::vector<FileState>& live, const DeltaProgress& progress,
                       const std::vector<FileState>* backups = nullptr);

// With no journal waiting: removes run folders that hold nothing but an owner file (a run
// stopped between its owner file and its first journal write, before anything was staged).
// Anything else is left alone; errors are ignored, a leftover only costs space.
void remove_orphan_runs(const DeltaRoots& roots) noexcept;

}  // namespace vorn
