// Writing one entry's new file into the run's folder: an append's base copied and proven in
// the same pass, the payload inflated onto it, every byte hashed as it is written.
#pragma once

#include <filesystem>

#include "delta/delta_files.h"
#include "delta/delta_manifest.h"

namespace vorn {

// Creates `staged` new and writes the entry's target into it: for an append, the live base
// (which must be the entry's base) with the package's header bytes changed, then the
// inflated payload. The staged file is proven against the target from what was written
// while the handle shared nothing. On failure the staged file is deleted again
// ("delta_stage", "delta_source_changed", "delta_header", "delta_compressed_integrity",
// "delta_target_integrity", "delta_flush", the inflate's and the reads' stages).
void stage_entry(const std::filesystem::path& live, const std::filesystem::path& staged,
                 const DeltaEntry& entry, const std::filesystem::path& payload,
                 const DeltaProgress& progress);

}  // namespace vorn
