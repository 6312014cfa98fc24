#include "net/resumable_download.h"

#include <windows.h>

#include <algorithm>

#include "net/fetch.h"

namespace vorn {
namespace {

constexpr std::size_t kept_records = 3;

bool is_worth_another_try(const LauncherError& error) {
    return is_transient_failure(error) || error.stage == "delta_blob_range" ||
           error.stage == "download_range";
}

}  // namespace

void download_resuming(Transport& transport, const HttpRequest& request, FileDownload& download,
                       int attempts,
                       const std::function<nlohmann::json(const LauncherError&, int)>& record,
                       const std::function<void()>& check) {
    const int allowed = std::clamp(attempts, 1, 3);
    const ULONGLONG started = GetTickCount64();
    nlohmann::json records = nlohmann::json::array();
    int failures = 0;  // in a row, without a byte gained
    for (int exchange = 0;; ++exchange) {
        const std::uint64_t held_before = download.held;
        try {
            HttpResponse response;
            transport.download_file(response, request, download);
            if (check) {
                check();
            }
            return;
        } catch (LauncherError& error) {
            records.push_back(record(error, exchange + 1));
            if (records.size() > kept_records) {
                records.erase(records.begin());
            }
            // Bytes gained count only when the next exchange can continue after them.
            const bool gained = download.held > held_before && !download.etag.empty();
            failures = gained ? 0 : failures + 1;
            if (is_worth_another_try(error) && failures < allowed &&
                exchange + 1 < most_resumed_exchanges) {
                retry_pause(std::max(failures - 1, 0));
                continue;
            }
            error.attempts = std::move(records);
            error.elapsed_ms = GetTickCount64() - started;
            error.bytes = download.received;
            throw;
        }
    }
}

}  // namespace vorn
