// A read block of io_block_size lent from the blocks kept for reuse. A block this large is
// mapped afresh by every allocation, and mapping and unmapping one per file stalls every
// other hashing thread of the process: kept blocks let hashing threads run side by side.
#pragma once

#include <cstdint>
#include <memory>

#include "core/io_block.h"

namespace vorn {

class ReadBlock {
  public:
    ReadBlock();
    ~ReadBlock();  // kept for the next reader, or freed when enough are kept
    ReadBlock(const ReadBlock&) = delete;
    ReadBlock& operator=(const ReadBlock&) = delete;

    std::uint8_t* get() const { return block_.get(); }

  private:
    std::unique_ptr<std::uint8_t[]> block_;
};

}  // namespace vorn
