// One whole file of an update, from its blob on the server to a verified staged copy.
#pragma once

#include <filesystem>

#include "engine/client/engine_services.h"
#include "model/manifest.h"

namespace vorn {

// Leaves the verified content of `file` at `target` (absent before). The blob streams into
// a temporary beside it, continuing where a broken connection stopped; a gzip or zlib blob
// (told by its first bytes) is decoded into a second temporary; the content's size and
// digest are checked; the checked file is flushed and moved into place. Memory stays at a
// few buffers whatever the size. Nothing but `target` is left. Throws LauncherError.
void stage_update_blob(const EngineServices& services, const ManifestFile& file,
                       const std::filesystem::path& target);

}  // namespace vorn
