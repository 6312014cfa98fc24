#include "delta/delta_roots.h"

#include <windows.h>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/launcher_error.h"
#include "core/text.h"

namespace vorn {

DeltaRoots resolve_delta_roots(const DeltaRootInputs& inputs) {
    if (inputs.root.empty() || inputs.state_dir.empty()) {
        throw LauncherError("delta_root", delta_package_message);
    }
    DeltaRoots roots;
    roots.root = absolute_normal(inputs.root);
    roots.state_dir = absolute_normal(inputs.state_dir);
    const DWORD attributes = file_attributes(roots.root);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw LauncherError("delta_root", delta_package_message);
    }
    roots.journal_path = roots.root / delta_journal_name;
    roots.work_root = roots.root / delta_work_name;
    roots.root_utf8 = to_utf8(roots.root.native());
    if (inputs.updater_pin) {
        const FileDigest& pin = *inputs.updater_pin;
        if (!is_sha256_hex(pin.sha256) || pin.bytes < 1 || pin.bytes > largest_updater) {
            throw LauncherError("delta_updater_pin", delta_package_message);
        }
    }
    roots.updater_pin = inputs.updater_pin;
    return roots;
}

bool delta_journal_exists(const DeltaRootInputs& inputs) {
    const DeltaRoots roots = resolve_delta_roots(inputs);
    const DWORD attributes = file_attributes(roots.journal_path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (is_not_found(error)) {
            return false;
        }
        throw LauncherError("delta_journal", delta_io_message, error);
    }
    if ((attributes & link_or_directory_mask) != 0) {
        throw LauncherError("delta_journal", delta_package_message);
    }
    return true;
}

}  // namespace vorn
