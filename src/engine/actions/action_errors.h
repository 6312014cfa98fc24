// How an error leaves an action: the words the user reads and the report it leaves.
#pragma once

#include <cstdint>
#include <string>

#include "core/launcher_error.h"
#include "model/action.h"

namespace vorn {

struct ActionState;
struct UpdateEngine;

// "local_io" with the hint to check the client folder: what any failure that is not a
// LauncherError becomes.
LauncherError local_io_error(std::uint32_t code);

// The error as it leaves an action: a "delta_wrong_base" names the archive in words, and
// the manifest's file count travels to the report.
void prepare_error_for_user(const ActionState& state, LauncherError& error);

// "Диагностика сохранена. Код: …" when the report function stored a report, else
// `fallback`. Never throws.
std::wstring saved_diagnostics_text(const UpdateEngine& engine, const LauncherError& error,
                                    Action action, const std::wstring& fallback);

}  // namespace vorn
