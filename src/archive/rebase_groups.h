// Which archives a rebase may rebuild, and the entries of the package that make one
// archive's group.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "delta/delta_manifest.h"
#include "model/file_digest.h"

namespace vorn {

// The client path lower-cased (ASCII), "\" as "/", a ".pkx" named as its ".pck".
std::string archive_key(std::string_view path);

// One of the six archives a rebase may rebuild.
bool is_rebase_archive(const std::string& key);

// The key of `path`, which must be a rebase archive ("delta_wrong_base" naming the path).
std::string require_rebase_key(std::string_view path);

// One archive of the package: its .pck entry and, for a split archive, its .pkx entry.
struct RebaseGroup {
    std::string key;
    const DeltaEntry* pck = nullptr;
    const DeltaEntry* pkx = nullptr;

    // The entries, .pck first.
    std::vector<const DeltaEntry*> entries() const;
    // The last entry: its payload is the archive's appended tail.
    const DeltaEntry& tail_entry() const { return pkx ? *pkx : *pck; }
    // Where the tail starts: the sum of the entries' base sizes.
    std::uint64_t tail_start() const;
};

// The group of `key`; both entries must be appends with a base ("delta_rebase_plan").
RebaseGroup plan_rebase_group(const DeltaManifest& delta, const std::string& key);

// What the rebase records of one rebuilt archive.
struct RebasedArchive {
    std::string main;                                       // its key
    std::vector<std::pair<std::string, FileDigest>> files;  // client path and digest, .pck first
    std::uint64_t changed_members = 0;
};

}  // namespace vorn
