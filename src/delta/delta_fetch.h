// The delta manifest from the server, checked against the update manifest, and the
// addresses of its payloads.
#pragma once

#include <filesystem>
#include <string>

#include "delta/delta_manifest.h"
#include "model/manifest.h"
#include "model/progress.h"
#include "net/http.h"
#include "net/url_policy.h"

namespace vorn {

// What fetching a delta package needs from the engine.
struct DeltaSource {
    Transport* transport = nullptr;  // not owned; outlives every call
    std::wstring update_base_url;
    UrlTrust trust = UrlTrust::project_hosts;
    std::filesystem::path state_dir;  // the client's service folder, home of the payload cache
    ProgressSink progress;
    FileHasher hash_file;
};

// Fetches the document the descriptor pins, proves its size and digest, parses it and
// checks that it covers exactly files of the manifest (and every file above 512 MiB).
// Touches no client file. Throws LauncherError.
DeltaManifest fetch_delta_manifest(const DeltaSource& source, const Manifest& manifest);

// The descriptor's location: an absolute HTTP(S) address, or a relative reference joined
// to the update base address; then the trust policy. Throws LauncherError ("delta_url").
std::wstring resolve_delta_url(const DeltaSource& source, const std::string& location);

// The payload next to the delta manifest: same folder of the same host.
std::wstring resolve_payload_url(const DeltaSource& source, const Manifest& manifest,
                                 const delta::Payload& payload);

}  // namespace vorn
