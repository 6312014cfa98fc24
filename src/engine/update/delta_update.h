// The delta package's part of an update: recovering an interrupted application, and
// applying the package to the client.
#pragma once

#include <string>
#include <vector>

#include "delta/delta_files.h"
#include "delta/delta_manifest.h"
#include "model/manifest.h"

namespace vorn {

struct ClientPlace;
struct EngineServices;
struct EngineView;

// Finishes or undoes a delta application a crash interrupted. Throws LauncherError.
void recover_interrupted_delta(const ClientPlace& client, EngineView& view);

// Plans the package against the client, keeping what verification accepts as `overrides`
// (rebuilt archives, the pinned updater, the icons' surfaces.pck) and taking the files
// `known` holds as they were seen; when anything needs work, applies it with payloads from
// the verified cache.
void apply_delta_package(const ClientPlace& client, const EngineServices& services,
                         EngineView& view, const Manifest& manifest, const DeltaManifest& delta,
                         const Overrides& overrides, const KnownStates& known);

// After a successful update: the payload and tail caches keep only what `package` names
// (none without a package), so they do not grow with every version. Never throws.
void keep_only_package_caches(const ClientPlace& client, const DeltaManifest* package) noexcept;

// The mismatched files the package does not cover: those are downloaded whole.
std::vector<ManifestFile> files_outside_package(const std::vector<ManifestFile>& mismatches,
                                                const DeltaManifest& delta);

}  // namespace vorn
