// The single-instance lock: one launcher per client folder.
#pragma once

#include <string>

#include "core/unique_handle.h"

namespace vorn {

struct InstanceLock {
    UniqueKernelHandle mutex;      // held for the whole run
    bool already_running = false;  // another launcher serves this client folder
};

// "Local\VornellLauncher-" + client_key of the root.
std::wstring instance_mutex_name(const std::wstring& root);

// Creates (or opens) the named mutex. Throws LauncherError "instance_mutex" when the
// mutex cannot be created at all.
InstanceLock acquire_instance_lock(const std::wstring& root);

}  // namespace vorn
