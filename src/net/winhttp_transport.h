// The one Transport of the launcher: one synchronous WinHTTP exchange per call, trusted
// addresses only, TLS 1.2 on HTTPS, no redirects, identity encoding, bounded bodies.
#pragma once

#include "net/http.h"

namespace vorn {

// Stateless: every call owns its handles, so concurrent calls do not interfere.
class WinHttpTransport final : public Transport {
  public:
    void request(HttpResponse& response, const HttpRequest& request) override;
    void download_file(HttpResponse& response, const HttpRequest& request,
                       FileDownload& download) override;
};

}  // namespace vorn
