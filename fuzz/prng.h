// The fuzz driver's random source: small, fast and the same on every machine, so that a
// seed and an input index name one input for good.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::fuzz {

// SplitMix64: one 64-bit state, a full period, good enough mixing for mutation choices.
class Prng {
  public:
    explicit Prng(std::uint64_t seed) : state_(seed) {}

    // The generator of input `index` of `reader` in the run of `seed`.
    static Prng for_input(std::uint64_t seed, std::uint64_t reader, std::uint64_t index) {
        Prng mixer(seed ^ (reader * 0x9e3779b97f4a7c15ULL));
        const std::uint64_t base = mixer.next();
        return Prng(base ^ (index * 0xbf58476d1ce4e5b9ULL));
    }

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // Uniform enough in [0, bound); 0 for a bound of 0.
    std::size_t below(std::size_t bound) {
        return bound == 0 ? 0 : static_cast<std::size_t>(next() % bound);
    }

    bool one_in(std::size_t n) { return below(n) == 0; }

  private:
    std::uint64_t state_;
};

}  // namespace vorn::fuzz
