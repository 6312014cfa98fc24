// The delta journal: the plan of one run and how far it got, written before every step that
// cannot be taken back, and the owner file that ties the run's work folder to it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "delta/delta_manifest.h"
#include "delta/delta_roots.h"
#include "model/file_digest.h"

namespace vorn {

inline constexpr const char* delta_journal_schema = "vorn-client-delta-journal-v1";
inline constexpr std::uint64_t largest_delta_journal = 8388608;

enum class DeltaPhase {
    staging,
    staged,
    publishing,
    committed,
    rolling_back,
    cleaning_committed,
    cleaning_rollback
};

const char* phase_text(DeltaPhase phase);

// One file of the run: what it was at inspection, what it must become, and whether it
// needs no work.
struct DeltaPlanItem {
    std::string path;
    std::optional<FileDigest> old;  // absent: the file did not exist
    FileDigest fresh;               // the journal's "new"
    bool keep = false;
};

struct DeltaJournal {
    std::string id;  // 32 lower-case hex digits
    // The client folder as the run first wrote it: a later run may name the same folder
    // another way (a short name, another case), and the owner file keeps this spelling.
    std::string root;
    std::string manifest_sha256;
    std::string manifest_text;
    DeltaPhase phase = DeltaPhase::staging;
    std::vector<DeltaPlanItem> items;
};

// What recovery reads back: the journal, its manifest parsed again, the run's folder and
// the owner text the folder must hold.
struct StoredJournal {
    DeltaJournal journal;
    DeltaManifest manifest;
    std::filesystem::path work_folder;
    std::string owner_text;
};

// .vorn-delta-work/<id> under the root.
std::filesystem::path run_folder(const DeltaRoots& roots, const std::string& id);

// The owner file's text: id, root, manifest digest and the digest of the compact entries.
std::string owner_text(const DeltaJournal& journal);

// Rewrites the whole journal atomically.
void write_delta_journal(const DeltaRoots& roots, const DeltaJournal& journal);

// The waiting journal, checked against its own manifest and this root; none when there is
// no journal. Throws LauncherError ("delta_schema", "delta_journal", the manifest's stages).
std::optional<StoredJournal> read_delta_journal(const DeltaRoots& roots);
// The same of the bytes the journal file holds.
StoredJournal parse_delta_journal(const DeltaRoots& roots, ByteView bytes);

}  // namespace vorn
