// What this build trusts: build values, defined by the generated list the executable links
// (the product's, or a test's own).
#pragma once

#include <string>
#include <vector>

#include "net/feed_signature.h"

namespace vorn {

// The public keys of the signed feed; none: the feed is read unsigned.
std::vector<FeedKey> deployed_feed_keys();

// SHA-256 of the project's code-signing public keys; none: downloaded programs need only
// pass the plain signature check.
std::vector<std::string> deployed_signer_pins();

}  // namespace vorn
