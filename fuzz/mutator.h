// Turning seed documents into the inputs nobody thought of: byte-level damage, splices of
// two seeds and JSON-aware changes that keep most of a document's shape.
#pragma once

#include <string>
#include <vector>

#include "prng.h"

namespace vorn::fuzz {

// How a reader's bytes are laid out, which decides the mix of mutations.
enum class InputShape {
    json,   // a JSON document: structural mutations half of the time
    fixed,  // a fixed-size record: mostly in-place changes that keep the size
    text,   // a short text (a path, an address, a number): token insertions
    binary  // a compressed stream: flips, insertions, deletions, splices
};

class Mutator {
  public:
    Mutator(std::vector<std::string> seeds, InputShape shape);

    // One input: a seed with one to four stacked mutations.
    std::string make(Prng& rng) const;

    const std::vector<std::string>& seeds() const { return seeds_; }

  private:
    void mutate_bytes(std::string& data, Prng& rng) const;
    void mutate_json(std::string& data, Prng& rng) const;

    std::vector<std::string> seeds_;
    InputShape shape_;
};

}  // namespace vorn::fuzz
