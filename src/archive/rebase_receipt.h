// The rebase receipt: the rebuilt archives accepted in place of the manifest's.
#pragma once

#include <filesystem>
#include <string>

#include "archive/rebase_groups.h"
#include "model/manifest.h"
#include "model/progress.h"

namespace vorn {

inline constexpr const wchar_t* rebase_state_file_name = L"archive-rebase-state-v1.json";
inline constexpr std::uint64_t largest_rebase_state = 65536;

// Where the receipt lives and how its archives are proven.
struct RebaseReceiptInputs {
    std::filesystem::path root;       // the client folder, absolute
    std::filesystem::path state_dir;  // the client's service folder
    FileHasher hash_file;
};

// The groups the state file records, each file proven by its digest now; none when the file
// is absent or any check fails.
std::vector<RebasedArchive> load_rebase_groups(const RebaseReceiptInputs& inputs,
                                               const std::string& manifest_key,
                                               const std::string& delta_sha256);

// The archives the state file vouches for, each proven by its digest now. Empty when the
// file is absent or any check fails: a stale or edited state is ignored, never repaired.
Overrides load_rebase_receipt(const RebaseReceiptInputs& inputs, const std::string& manifest_key,
                              const std::string& delta_sha256);

// Records the rebuilt archives once their install committed: schema 1, the client root,
// the manifest key, the package digest, one group per archive and the checksum over the
// rest. Throws LauncherError.
void write_rebase_state(const RebaseReceiptInputs& inputs, const std::string& manifest_key,
                        const std::string& delta_sha256, const std::vector<RebasedArchive>& groups);

}  // namespace vorn
