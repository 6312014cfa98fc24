// The per-client queue of diagnostic reports and their delivery to the report endpoint.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/launcher_error.h"
#include "model/action.h"
#include "model/launcher_config.h"
#include "net/http.h"

namespace vorn {

inline constexpr std::size_t most_queued_reports = 16;
// The acknowledgement of the last delivered report, in the client's service folder.
inline constexpr const wchar_t* last_report_file_name = L"diagnostics-last-v1.json";

// One per worker; every access to the queue folder and its files is serialised by one
// lock, which is never held while a report is on the network.
class DiagnosticsService {
  public:
    DiagnosticsService(LauncherConfig config, std::shared_ptr<Transport> transport);

    // Stores the report of `error` as the last report and in the queue (the oldest name
    // goes when 16 wait). Returns its identifier, or an empty string when nothing was
    // queued. Never throws.
    std::string create_report(const LauncherError& error, Action action,
                              const std::string& client_state) noexcept;

    // Sends queued reports in name order until `max_reports` were acknowledged (at most 16),
    // each to the report address and then the fallback. A file that fails its checks is
    // skipped and stays; a report neither address takes ends the pass. Returns the count
    // delivered. Never throws.
    std::size_t deliver_pending(std::size_t max_reports) noexcept;

    // One POST; true only for 202 with the report's own identifier in the answer.
    bool send_report(const nlohmann::json& report, const std::wstring& address) noexcept;

    const std::filesystem::path& queue_dir() const { return queue_dir_; }
    const std::filesystem::path& last_report_path() const { return last_path_; }

  private:
    std::vector<std::filesystem::path> list_queue() const;
    std::optional<nlohmann::json> read_queued(const std::filesystem::path& file) const;

    LauncherConfig config_;
    std::shared_ptr<Transport> transport_;
    std::filesystem::path cache_dir_;
    std::filesystem::path queue_dir_;
    std::filesystem::path last_path_;
    mutable std::mutex lock_;
};

}  // namespace vorn
