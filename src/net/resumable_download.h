// A download to a file that survives broken connections by continuing where it broke.
#pragma once

#include <functional>

#include <nlohmann/json.hpp>

#include "core/launcher_error.h"
#include "net/http.h"

namespace vorn {

// Exchanges in one call at most, however much each of them adds: a bound for a link that
// breaks over and over while it still trickles bytes.
inline constexpr int most_resumed_exchanges = 64;

// Runs `download` until the file holds the whole body. A transient failure (or a range the
// server got wrong) is tried again from the bytes the file holds, after retry_pause; a
// failed exchange that added bytes does not use up one of the `attempts` (1 ... 3). The
// error that ends it carries `record(error, number)` of its last three exchanges, and in
// `bytes` every body byte received. `check`, when given, judges the complete file inside
// the last exchange, so its refusal carries the records too. Throws LauncherError.
void download_resuming(Transport& transport, const HttpRequest& request, FileDownload& download,
                       int attempts,
                       const std::function<nlohmann::json(const LauncherError&, int)>& record,
                       const std::function<void()>& check = {});

}  // namespace vorn
