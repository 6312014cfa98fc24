#include "diagnostics/diagnostics_service.h"

#include <windows.h>

#include <algorithm>

#include "core/file_system.h"
#include "core/hex.h"
#include "core/identifiers.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "core/text.h"
#include "diagnostics/diagnostic_report.h"
#include "net/url_policy.h"

namespace vorn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr std::uint64_t largest_queue_file = 9216;
constexpr std::uint64_t largest_acknowledgement = 4096;
constexpr std::int32_t report_timeout_ms = 2500;
constexpr std::uint64_t report_deadline_ms = 5000;
constexpr std::size_t queue_name_digits = 32;

// Exactly 32 lower-case hex digits and ".json": no other file is ever read or deleted.
bool is_queue_name(const std::wstring& name) {
    if (name.size() != queue_name_digits + 5 || !name.ends_with(L".json")) {
        return false;
    }
    return is_lower_hex(std::wstring_view(name).substr(0, queue_name_digits));
}

}  // namespace

DiagnosticsService::DiagnosticsService(LauncherConfig config, std::shared_ptr<Transport> transport)
    : config_(std::move(config)),
      transport_(std::move(transport)),
      cache_dir_(absolute_normal(config_.cache_dir)),
      queue_dir_(cache_dir_ / L"diagnostics-pending-v2"),
      last_path_(cache_dir_ / last_report_file_name) {}

std::vector<fs::path> DiagnosticsService::list_queue() const {
    std::vector<fs::path> files;
    for (const FolderEntry& entry : list_folder(queue_dir_).value_or(std::vector<FolderEntry>{})) {
        if (is_queue_name(entry.name) && (entry.attributes & link_or_directory_mask) == 0) {
            files.push_back(queue_dir_ / entry.name);
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string DiagnosticsService::create_report(const LauncherError& error, Action,
                                              const std::string& client_state) noexcept {
    try {
        const std::string report_id = random_hex(16);
        const json report = build_report(error, report_id, client_state);
        const std::lock_guard hold(lock_);
        ensure_service_directory(cache_dir_);
        ensure_service_directory(queue_dir_);
        write_json_file(last_path_, report);
        std::vector<fs::path> queued = list_queue();
        // Temporaries of queue records a killed launcher was writing.
        remove_stale_temporaries(
            queue_dir_, [](std::wstring_view name) { return is_queue_name(std::wstring(name)); });
        // Room for the new report: the first by name goes.
        while (queued.size() >= most_queued_reports) {
            if (!DeleteFileW(long_path(queued.front()).c_str())) {
                return {};
            }
            queued.erase(queued.begin());
        }
        write_json_file(
            queue_dir_ / to_utf16(report_id + ".json"),
            json{{"report", report}, {"checksum", sha256_string(compact_json(report))}});
        return report_id;
    } catch (...) {
        return {};  // a report that cannot be stored must not hide the error it is about
    }
}

std::optional<json> DiagnosticsService::read_queued(const fs::path& file) const {
    try {
        const json record = read_json_file(file, largest_queue_file);
        const json& report = record.at("report");
        validate_report(report, true);
        if (record.at("checksum").get<std::string>() != sha256_string(compact_json(report)) ||
            file.stem().native() != to_utf16(report.at("report_id").get<std::string>())) {
            return std::nullopt;
        }
        return report;
    } catch (...) {
        return std::nullopt;  // damaged or foreign: skipped, and left for the queue bound
    }
}

std::size_t DiagnosticsService::deliver_pending(std::size_t max_reports) noexcept {
    if (!transport_ || max_reports == 0) {
        return 0;
    }
    max_reports = std::min(max_reports, most_queued_reports);
    std::vector<fs::path> queued;
    try {
        const std::lock_guard hold(lock_);
        queued = list_queue();
    } catch (...) {
        return 0;
    }
    std::size_t delivered = 0;
    for (const fs::path& file : queued) {
        if (delivered == max_reports) {
            break;
        }
        std::optional<json> report;
        {
            const std::lock_guard hold(lock_);
            report = read_queued(file);
        }
        if (!report) {
            continue;
        }
        if (!send_report(*report, config_.endpoints.report_url) &&
            !send_report(*report, config_.endpoints.report_fallback_url)) {
            break;  // the endpoints are down: everything waits for the next pass
        }
        const std::lock_guard hold(lock_);
        if (read_queued(file)) {
            DeleteFileW(long_path(file).c_str());  // a failed delete only sends it again
        }
        ++delivered;
    }
    return delivered;
}

bool DiagnosticsService::send_report(const json& report, const std::wstring& address) noexcept {
    try {
        require_trusted_url(address, config_.url_trust());
        HttpRequest request;
        request.url = address;
        request.method = "POST";
        request.headers = {{L"Content-Type", L"application/json"}, {L"Cache-Control", L"no-store"}};
        const std::string body = compact_json(report);
        request.body.assign(body.begin(), body.end());
        request.max_body = largest_acknowledgement;
        request.timeout_ms = report_timeout_ms;
        request.deadline_ms = report_deadline_ms;
        request.trust = config_.url_trust();
        HttpResponse response;
        transport_->request(response, request);
        if (response.status != 202) {
            return false;
        }
        const json answer = parse_json_bytes(response.body, "diagnostic_ack");
        const auto id = answer.find("report_id");
        return answer.is_object() && id != answer.end() && id->is_string() &&
               *id == report.at("report_id");
    } catch (...) {
        return false;  // any failure is simply no acknowledgement
    }
}

}  // namespace vorn
