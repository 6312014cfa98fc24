// The feed keys this build trusts: a build value, defined by the generated list the
// executable links (the product's, or a test's own).
#pragma once

#include <vector>

#include "net/feed_signature.h"

namespace vorn {

std::vector<FeedKey> deployed_feed_keys();

}  // namespace vorn
