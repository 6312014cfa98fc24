// Starting a launcher after the replacement, and the proof that the new build works: its
// health file, written once its window is ready, names the token it was started with, the
// digest that was installed and the build that was expected.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "core/unique_handle.h"
#include "selfupdate/health_file.h"
#include "updater/client_location.h"

namespace vorn {

inline constexpr DWORD health_timeout_ms = 60000;

// Starts the launcher at the client's launcher path, in the local-test mode with its
// configuration, and with --update-health-token when a token is given. Throws
// LauncherError ("self_update_spawn").
UniqueKernelHandle start_launcher(const UpdaterClient& client,
                                  const std::optional<std::string>& token);

// Waits until the health file carries `expected`; false when `launcher` ends first or
// `timeout_ms` passes.
bool wait_for_health(const UpdaterClient& client, HANDLE launcher, const HealthRecord& expected,
                     DWORD timeout_ms);

// Ends a launcher that did not prove itself, and waits for it to be gone.
void stop_launcher(HANDLE launcher);

}  // namespace vorn
