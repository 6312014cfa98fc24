// Delta package documents with real bytes, for the tests: the manifest text and the
// payloads it pins, made from the files before and after an update.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn::test {

struct PackageFile {
    std::string path;
    std::optional<std::string> before;  // the live file before the update (none: absent)
    std::string after;
    bool append = false;  // an append of `after` beyond `before`, its header bytes patched
    std::optional<std::string> stored;      // the payload as served, when not the true stream
    std::optional<std::string> before_hex;  // the header bytes the package claims, when wrong
};

struct DeltaDocument {
    std::string text;
    // ("payload/<digest>.zlib", stored bytes), one per file.
    std::vector<std::pair<std::string, std::string>> payloads;
};

DeltaDocument delta_document(const std::vector<PackageFile>& files);

}  // namespace vorn::test
