// One executable of a release: downloaded, then proven by size, digest and program image.
#pragma once

#include "core/bytes.h"
#include "net/http.h"
#include "selfupdate/release_descriptor.h"

namespace vorn {

// A 64-bit Windows program image: MZ, a PE header in bounds, machine x64, an executable
// image and no DLL, the PE32+ optional header.
bool is_windows_x64_program(ByteView bytes);

// GETs the entry's address (three attempts) and checks the body. Throws LauncherError
// ("self_update_download", "self_update_hash", or the transport's).
Bytes download_release_file(Transport& transport, UrlTrust trust, const ReleaseEntry& entry,
                            bool is_updater);

}  // namespace vorn
