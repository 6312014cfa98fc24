#include "net/fetch.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace vorn {
namespace {

constexpr int most_attempts = 3;
constexpr DWORD retry_step_ms = 100;

constexpr std::array<std::string_view, 7> transient_stages = {
    "dns", "timeout", "connect", "send_request", "receive_response", "read_body", "truncated_body",
};

bool is_success(const HttpRequest& request, std::uint32_t status) {
    if (status >= 200 && status <= 299) {
        return true;
    }
    return request.method == "HEAD" && (status == 405 || status == 501);
}

}  // namespace

int clamp_attempts(int attempts) {
    return std::clamp(attempts, 1, most_attempts);
}

bool is_transient_failure(const LauncherError& error) {
    if (error.http_status == 408 || error.http_status == 429 || error.http_status >= 500) {
        return true;
    }
    return std::find(transient_stages.begin(), transient_stages.end(), error.stage) !=
           transient_stages.end();
}

void retry_pause(int index) {
    Sleep(retry_step_ms * static_cast<DWORD>(index + 1));
}

void with_retries(int attempts, const std::function<void()>& attempt,
                  const std::function<nlohmann::json(const LauncherError&, int)>& record) {
    const int count = clamp_attempts(attempts);
    const ULONGLONG started = GetTickCount64();
    nlohmann::json records = nlohmann::json::array();
    for (int i = 0;; ++i) {
        try {
            attempt();
            return;
        } catch (LauncherError& error) {
            records.push_back(record(error, i));
            if (is_transient_failure(error) && i + 1 < count) {
                retry_pause(i);
                continue;
            }
            error.attempts = std::move(records);
            error.elapsed_ms = GetTickCount64() - started;
            throw;
        }
    }
}

HttpResponse& fetch(HttpResponse& response, Transport& transport, const HttpRequest& request,
                    int attempts) {
    with_retries(
        attempts,
        [&] {
            transport.request(response, request);
            if (!is_success(request, response.status)) {
                LauncherError error("http_status", L"Сервер обновлений вернул ошибку HTTP.", 0,
                                    response.status);
                error.bytes = response.body.size();
                error.elapsed_ms = response.elapsed_ms;
                throw error;
            }
        },
        [](const LauncherError& error, int index) { return attempt_record(error, index + 1); });
    return response;
}

}  // namespace vorn
