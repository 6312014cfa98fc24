// Compressed forms of test content, as a server would send them.
#pragma once

#include <string>

namespace vorn::test {

// `input` deflated at the default level into a zlib stream, or a gzip member when `gzip`.
std::string compressed(const std::string& input, bool gzip);

}  // namespace vorn::test
