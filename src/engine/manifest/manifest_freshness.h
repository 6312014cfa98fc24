// The compressed manifest and the proof that it is the current plain document.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/http.h"

namespace vorn {

struct EngineServices;

// The plain address with ".gz" before its query; none for an empty address, one with a
// fragment, or one that already names a ".gz" file.
std::optional<std::wstring> compressed_manifest_url(const std::wstring& manifest_url);

// A response whose body is the decompressed document and whose headers are those of the
// plain document, proven by a HEAD before and after the download. Throws LauncherError
// ("manifest_gzip_metadata", "manifest_gzip_stale" or a transport stage).
HttpResponse fetch_compressed_manifest(const EngineServices& services,
                                       const std::wstring& compressed_url);

// HEAD of the plain manifest with the short time-out of metadata requests. Throws
// LauncherError for a transport failure; any status comes back.
HttpResponse head_manifest(const EngineServices& services, int attempts);

// HEAD of the plain manifest: status 200, a strong etag, a last-modified value and an
// identity encoding.
HttpResponse head_manifest_metadata(const EngineServices& services);

// The content-length of a HEAD answer: 1 to 20 digits, 1 to 16,777,216.
std::uint64_t parse_content_length(const HttpResponse& response);

}  // namespace vorn
