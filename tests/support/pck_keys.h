// The archive key pairs the build was configured with, in the form the tests' writer takes.
#pragma once

#include <cstddef>

#include "archive/pck_format.h"
#include "support/pck_writer.h"

namespace vorn::test {

inline PckWriterKeys writer_keys(std::size_t which = 0) {
    return {pck_key_pair(which).key1, pck_key_pair(which).key2};
}

}  // namespace vorn::test
