// What the engine's units call out to, fixed for the run: the project's addresses and
// trust, the transport, the report store and the crash tests' fault points.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/launcher_error.h"
#include "model/action.h"
#include "model/launcher_config.h"
#include "net/http.h"

namespace vorn {

// Records a diagnostic report for the error and returns its code (empty when none).
using ReportFunction = std::function<std::string(const LauncherError&, Action)>;

// Called at each durable step of an installation ("downloaded", "staged", "icons_built",
// "backed_up", "journal_written", "published", "all_published"); crash tests throw from it
// to stop the work exactly there. Empty in the product.
using FaultPoint = std::function<void(std::string_view)>;

// The bytes free to the launcher on the volume of a path. Empty in the product, which asks
// the system; tests set it to put a volume at an exact fill.
using FreeSpace = std::function<std::uint64_t(const std::filesystem::path&)>;

struct EngineServices {
    LauncherConfig config;  // root and cache_dir absolute
    std::shared_ptr<Transport> transport;
    ReportFunction report;
    FaultPoint fault_point;
    FreeSpace free_space;
};

// Reaches the named durable step (see FaultPoint).
void reach(const EngineServices& services, std::string_view point);

}  // namespace vorn
