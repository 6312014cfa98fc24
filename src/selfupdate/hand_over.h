// Passing control to the updater component, and the health file a new launcher writes
// for it.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "selfupdate/release_descriptor.h"
#include "selfupdate/updater_component.h"

namespace vorn {

inline constexpr const wchar_t* health_file_name = L"launcher-health-v2.txt";
inline constexpr DWORD updater_ready_timeout_ms = 15000;

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

// Writes sha256=<running launcher>, token=<token>, build=<build> for the updater that
// started this launcher. A token other than 32 lower-case hex digits writes nothing; every
// failure is swallowed.
void write_health_file(const std::filesystem::path& state_dir, const std::string& token,
                       const std::string& build) noexcept;

}  // namespace vorn
