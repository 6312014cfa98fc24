// The process entry's work: options, configuration, the single-instance lock, the run.
#pragma once

#include <windows.h>

namespace vorn {

// Returns the process exit code: 0 normal end or second instance, 1 a failed local-test
// action, 2 any start-up failure (shown in a message box unless the run is silent).
int launcher_main(HINSTANCE instance);

}  // namespace vorn
