// The error view the user sees after a failed action.
#pragma once

#include <string>

#include "core/launcher_error.h"
#include "model/ui_snapshot.h"

namespace vorn {

// `base` in phase 9 with the error's message, and the report code in the hint when a
// report was stored.
UiSnapshot make_error_snapshot(const LauncherError& error, const std::string& report_id,
                               const UiSnapshot& base, Busy busy);

}  // namespace vorn
