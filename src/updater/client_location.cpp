#include "updater/client_location.h"

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "model/launcher_config.h"
#include "model/local_test_config.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void refuse_location() {
    throw LauncherError("self_update_staging",
                        L"Компонент обновления должен находиться в папке element клиента.");
}

[[noreturn]] void refuse_files() {
    throw LauncherError("self_update_staging",
                        L"Обновление лаунчера указывает на файлы вне папки клиента.");
}

bool same_path(const fs::path& a, const fs::path& b) {
    return lower_wide(a.native()) == lower_wide(b.native());
}

// root\element\VornellUpdater.exe, without links on the way, or a refusal.
fs::path client_root_of(const fs::path& own_path) {
    const fs::path own = absolute_normal(own_path);
    const fs::path root = own.parent_path().parent_path();
    if (root.empty() || root == own.parent_path()) {
        refuse_location();
    }
    const fs::path expected =
        resolve_relative_path(root, "element/VornellUpdater.exe", LinkCheck::refuse_links);
    if (!same_path(own, expected)) {
        refuse_location();
    }
    return root;
}

fs::path state_folder(const UpdaterOptions& options, const fs::path& root) {
    if (!options.local_test_config) {
        return default_cache_dir(root.native());
    }
    const LauncherConfig config = load_local_test_config(*options.local_test_config);
    if (!same_path(absolute_normal(config.root), root)) {
        refuse_files();
    }
    return config.cache_dir;
}

}  // namespace

UpdaterClient locate_client(const UpdaterOptions& options, const fs::path& own_path) {
    UpdaterClient client;
    client.root = client_root_of(own_path);
    client.launcher = absolute_normal(options.launcher);
    if (!same_path(client.launcher.parent_path(), client.root) ||
        lower_wide(client.launcher.extension().native()) != L".exe") {
        refuse_files();
    }
    if (!options.restore) {
        client.staged = absolute_normal(options.staged);
        const fs::path staged_name =
            L"VornellLauncher.update." + to_utf16(options.sha256) + L".exe";
        if (!same_path(client.staged, client.root / staged_name) ||
            same_path(client.launcher, client.staged)) {
            refuse_files();
        }
    }
    client.backup = client.root / (client.launcher.stem().native() + L".backup.exe");
    if (same_path(client.backup, client.launcher) || same_path(client.backup, client.staged)) {
        refuse_files();
    }
    client.state_dir = state_folder(options, client.root);
    client.local_test_config = options.local_test_config;
    return client;
}

}  // namespace vorn
