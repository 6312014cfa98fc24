#include "updater/updater_options.h"

#include <limits>

#include "core/hex.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "selfupdate/release_build.h"

namespace vorn {
namespace {

constexpr std::size_t apply_arguments = 7;
constexpr std::size_t restore_arguments = 5;

[[noreturn]] void refuse_arguments() {
    throw LauncherError("self_update_spawn", L"Неверные параметры запуска обновления лаунчера.");
}

// Decimal, no sign, no leading zero, not zero, within 32 bits.
DWORD process_id_of(const std::wstring& text) {
    if (text.empty() || text.size() > 10 || text[0] == L'0') {
        refuse_arguments();
    }
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            refuse_arguments();
        }
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    if (value > std::numeric_limits<DWORD>::max()) {
        refuse_arguments();
    }
    return static_cast<DWORD>(value);
}

std::filesystem::path path_of(const std::wstring& text) {
    const std::filesystem::path path(text);
    if (text.empty() || text.find(L'\0') != std::wstring::npos || !path.is_absolute()) {
        refuse_arguments();
    }
    return path;
}

// ASCII text the launcher wrote itself: anything wider is not from the launcher.
std::string ascii_of(const std::wstring& text) {
    for (const wchar_t c : text) {
        if (c < 0x21 || c > 0x7E) {
            refuse_arguments();
        }
    }
    return to_utf8(text);
}

void check_common(const UpdaterOptions& options) {
    if (!is_sha256_hex(options.sha256) || options.ready_id.size() != 32 ||
        !is_lower_hex(options.ready_id)) {
        refuse_arguments();
    }
}

std::optional<std::filesystem::path> local_test_config_of(const std::vector<std::wstring>& args,
                                                          std::size_t fixed) {
    if (args.size() == fixed) {
        return std::nullopt;
    }
    if (args.size() != fixed + 2 || args[fixed] != L"--local-test-config") {
        refuse_arguments();
    }
    return path_of(args[fixed + 1]);
}

}  // namespace

UpdaterOptions parse_updater_options(const std::vector<std::wstring>& args) {
    if (args.empty() || (args[0] != L"--apply" && args[0] != L"--restore")) {
        refuse_arguments();
    }
    UpdaterOptions options;
    options.restore = args[0] == L"--restore";
    const std::size_t fixed = options.restore ? restore_arguments : apply_arguments;
    if (args.size() < fixed) {
        refuse_arguments();
    }
    options.launcher_process_id = process_id_of(args[1]);
    options.launcher = path_of(args[2]);
    std::size_t next = 3;
    if (!options.restore) {
        options.staged = path_of(args[next++]);
    }
    options.sha256 = ascii_of(args[next++]);
    options.ready_id = ascii_of(args[next++]);
    if (!options.restore) {
        options.build = ascii_of(args[next++]);
        if (!is_build_text(options.build)) {
            refuse_arguments();
        }
    }
    check_common(options);
    options.local_test_config = local_test_config_of(args, fixed);
    return options;
}

}  // namespace vorn
