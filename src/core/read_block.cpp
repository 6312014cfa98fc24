#include "core/read_block.h"

#include <mutex>
#include <vector>

namespace vorn {
namespace {

// As many as threads read at once, give or take: the rest are freed.
constexpr std::size_t most_kept = 8;

struct KeptBlocks {
    std::mutex mutex;
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks;
};

KeptBlocks& kept() {
    static KeptBlocks blocks;
    return blocks;
}

}  // namespace

ReadBlock::ReadBlock() {
    {
        const std::lock_guard lock(kept().mutex);
        if (!kept().blocks.empty()) {
            block_ = std::move(kept().blocks.back());
            kept().blocks.pop_back();
        }
    }
    if (!block_) {
        block_.reset(new std::uint8_t[io_block_size]);  // not zeroed: always read into first
    }
}

ReadBlock::~ReadBlock() {
    const std::lock_guard lock(kept().mutex);
    if (kept().blocks.size() < most_kept) {
        kept().blocks.push_back(std::move(block_));
    }
}

}  // namespace vorn
