// A request with the status check and a short, bounded retry.
#pragma once

#include <functional>

#include "core/launcher_error.h"
#include "net/http.h"

namespace vorn {

// Calls the transport up to `attempts` times (clamped to 1 ... 3), requires a 2xx status
// (HEAD also accepts 405 and 501: the server does not support HEAD) and retries transient
// failures after 100 ms, then 200 ms. A failure carries every attempt in `attempts`.
HttpResponse& fetch(HttpResponse& response, Transport& transport, const HttpRequest& request,
                    int attempts);

// Runs `attempt` up to `attempts` times (clamped to 1 ... 3). A transient LauncherError is
// tried again after retry_pause; the error that ends the run carries `record(error, index)`
// of every failed attempt in `attempts` and the whole time in `elapsed_ms`. Other exception
// types pass through at once.
void with_retries(int attempts, const std::function<void()>& attempt,
                  const std::function<nlohmann::json(const LauncherError&, int)>& record);

// Status 408, 429 or 500 and above, or a failure of the connection itself.
bool is_transient_failure(const LauncherError& error);

// The pause before attempt `index` + 2: 100 ms, then 200 ms.
void retry_pause(int index);

}  // namespace vorn
