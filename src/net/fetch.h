// A request with the status check and a short, bounded retry.
#pragma once

#include "core/launcher_error.h"
#include "net/http.h"

namespace vorn {

// Calls the transport up to `attempts` times (clamped to 1 ... 3), requires a 2xx status
// (HEAD also accepts 405 and 501: the server does not support HEAD) and retries transient
// failures after 100 ms, then 200 ms. A failure carries every attempt in `attempts`.
HttpResponse& fetch(HttpResponse& response, Transport& transport, const HttpRequest& request,
                    int attempts);

// Status 408, 429 or 500 and above, or a failure of the connection itself.
bool is_transient_failure(const LauncherError& error);

// The pause before attempt `index` + 2: 100 ms, then 200 ms.
void retry_pause(int index);

int clamp_attempts(int attempts);

}  // namespace vorn
