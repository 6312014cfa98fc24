// Passing control to the updater component.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "selfupdate/handover_protocol.h"
#include "selfupdate/release_descriptor.h"
#include "selfupdate/updater_component.h"

namespace vorn {

// The updater's command line: its path, --apply and this process id, the running and the
// staged launcher, the new digest, the ready event's identifier, the new build, and in the
// local-test mode the configuration. Every path is quoted (quote_path).
std::wstring updater_command_line(const SelfUpdateContext& context,
                                  const ReleaseDescriptor& descriptor,
                                  const std::filesystem::path& running_launcher,
                                  const std::filesystem::path& staged_launcher,
                                  const std::string& ready_id, DWORD process_id);

// Starts the updater and waits for it to signal that it runs from the client's element
// folder with the expected digest. True once confirmed (the updater owns the blocked-digest
// file from then on); otherwise the updater is stopped, the blocked-digest file removed and
// LauncherError thrown ("self_update_ready", "self_update_spawn", "self_update_hash").
bool hand_over(const SelfUpdateContext& context, const ReleaseDescriptor& descriptor,
               const std::filesystem::path& staged_launcher);

}  // namespace vorn
