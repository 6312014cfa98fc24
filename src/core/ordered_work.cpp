#include "core/ordered_work.h"

namespace vorn {

std::size_t hashing_threads() {
    constexpr std::size_t most_threads = 4;
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(cores == 0 ? 1 : cores, 1, most_threads);
}

}  // namespace vorn
