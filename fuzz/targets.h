// One fuzz target per reader of outside bytes: its seeds, the shape of its input, its
// refusal rule and the call that reads one input and checks what the reader promises.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fault_check.h"
#include "mutator.h"
#include "prng.h"
#include "scratch_client.h"

namespace vorn::fuzz {

// Readers of files get most inputs as the bytes the file would hold, and one in this many
// through a real file on the scratch client: the file layer around them is the same for
// every input, and each file operation under Wine costs as much as a hundred parses.
inline constexpr std::size_t through_a_file = 64;

struct Target {
    std::string name;
    InputShape shape = InputShape::json;
    std::vector<std::string> seeds;
    StagePolicy policy;
    // Applied after the mutations, before the input is recorded: re-seals a checksum so
    // that half of the inputs reach past it. Optional.
    std::function<void(std::string& input, Prng& rng)> finish;
    // Reads one input: "" when it was accepted, a label when it was refused without an
    // exception. Throws what the reader throws, or InvariantBroken.
    std::function<std::string(const std::string& input, Prng& rng)> read;
};

// The document readers: update manifest, delta package manifest, strict JSON, diagnostics
// queue record, local-test configuration.
void add_document_targets(std::vector<Target>& targets, ScratchClient& scratch);

// The state files of a client: installed receipt (current and both legacy places), install
// journal with recovery, owner file of a transaction folder.
void add_state_targets(std::vector<Target>& targets, ScratchClient& scratch);

// The wire and path readers: relative paths, addresses with the trust rule, Content-Length,
// gzip and zlib bodies.
void add_wire_targets(std::vector<Target>& targets, ScratchClient& scratch);

// The game's archives and the guild icon set: the archive index (rebase and guild
// readings, with the icon rebuild), the icon list, the version stamp, the PNG atlas.
void add_archive_targets(std::vector<Target>& targets, ScratchClient& scratch);

// The delta journal with recovery on a scratch client, and the archive rebase state.
void add_delta_state_targets(std::vector<Target>& targets, ScratchClient& scratch);

// The self-update: the release descriptor, the health file, the updater's command line;
// and the signature document of the feed's documents.
void add_release_targets(std::vector<Target>& targets);

// True when `path` lies strictly under `root` after lexical normalisation (case-folded).
bool lies_under(const std::filesystem::path& root, const std::filesystem::path& path);

}  // namespace vorn::fuzz
