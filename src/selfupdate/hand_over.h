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

// The updater's command line that puts back the build a new one replaced: its path,
// --restore and this process id, the running launcher, the unproven build's digest, the
// ready event's identifier, and in the local-test mode the configuration.
std::wstring restore_command_line(const std::filesystem::path& updater, DWORD process_id,
                                  const std::filesystem::path& running_launcher,
                                  const std::string& unproven_sha256, const std::string& ready_id,
                                  const SelfUpdateContext& context);

// Starts the updater (of digest `updater_sha256`) to put the previous build back in place of
// this unproven one, and waits for its confirmation as hand_over does. True once confirmed;
// throws LauncherError otherwise.
bool hand_over_restore(const SelfUpdateContext& context, const std::string& updater_sha256,
                       const std::string& unproven_sha256);

}  // namespace vorn
