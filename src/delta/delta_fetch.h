// The delta manifest from the server, checked against the update manifest, and the
// addresses of its payloads.
#pragma once

#include <string>

#include "delta/delta_manifest.h"

namespace vorn {

struct UpdateEngine;
struct Manifest;

// Fetches the document the descriptor pins, proves its size and digest, parses it and
// checks that it covers exactly files of the manifest (and every file above 512 MiB).
// Touches no client file. Throws LauncherError.
DeltaManifest fetch_delta_manifest(UpdateEngine& engine, const Manifest& manifest);

// The descriptor's location: an absolute HTTP(S) address, or a relative reference joined
// to the update base address; then the trust policy. Throws LauncherError ("delta_url").
std::wstring resolve_delta_url(const UpdateEngine& engine, const std::string& location);

// The payload next to the delta manifest: same folder of the same host.
std::wstring resolve_payload_url(const UpdateEngine& engine, const Manifest& manifest,
                                 const delta::Payload& payload);

}  // namespace vorn
