// Finishing or undoing a delta run that did not reach its end, from what its journal and
// the disk say.
#pragma once

#include <vector>

#include "delta/delta_files.h"
#include "delta/delta_roots.h"

namespace vorn {

// Under a lock the caller holds: a committed run is finished, any other is rolled back;
// then the run's work folder goes and the journal last. Nothing happens without a journal.
// Every state it cannot account for stops it with the journal kept. Throws LauncherError.
void run_delta_recovery(const DeltaRoots& roots, const DeltaProgress& progress);

// Finishes the run this process has just committed under the lock it holds, taking the
// states of the live files and of their backups its commit check observed, with nothing but
// journal writes since: the cleanup reads neither again.
void finish_committed_run(const DeltaRoots& roots, const std::vector<FileState>& live,
                          const std::vector<FileState>& backups, const DeltaProgress& progress);

// Resolves the roots, takes the lock and runs the recovery.
void recover_delta(const DeltaRootInputs& inputs, const DeltaProgress& progress);

}  // namespace vorn
