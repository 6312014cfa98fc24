// The identity of file content wherever a file must be matched: digest and size.
#pragma once

#include <cstdint>
#include <string>

namespace vorn {

struct FileDigest {
    std::string sha256;  // 64 lower-case hex characters
    std::uint64_t bytes = 0;

    bool operator==(const FileDigest&) const = default;
};

}  // namespace vorn
