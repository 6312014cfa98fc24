#include "updater/new_launcher.h"

#include "core/launcher_error.h"
#include "core/text.h"
#include "selfupdate/handover_protocol.h"

namespace vorn {
namespace {

constexpr DWORD health_poll_ms = 100;
constexpr DWORD stop_wait_ms = 5000;
constexpr UINT unhealthy_exit_code = 13;

bool same_record(const HealthRecord& a, const HealthRecord& b) {
    return a.sha256 == b.sha256 && a.token == b.token && a.build == b.build;
}

}  // namespace

UniqueKernelHandle start_launcher(const UpdaterClient& client,
                                  const std::optional<std::string>& token) {
    std::wstring command_line = quote_path(client.launcher);
    if (client.local_test_config) {
        command_line += L" --qa-config " + quote_path(*client.local_test_config);
    }
    if (token) {
        command_line += L" --update-health-token " + to_utf16(*token);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(client.launcher.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, client.root.c_str(), &startup, &process)) {
        throw LauncherError("self_update_spawn", L"Не удалось запустить лаунчер.", GetLastError());
    }
    CloseHandle(process.hThread);
    return UniqueKernelHandle(process.hProcess);
}

bool wait_for_health(const UpdaterClient& client, HANDLE launcher, const HealthRecord& expected,
                     DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (true) {
        const auto record = read_health_file(client.state_dir);
        if (record && same_record(*record, expected)) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        if (WaitForSingleObject(launcher, health_poll_ms) == WAIT_OBJECT_0) {
            // Ended: one last look, the file may have landed just before it did.
            const auto last = read_health_file(client.state_dir);
            return last && same_record(*last, expected);
        }
    }
}

void stop_launcher(HANDLE launcher) {
    if (WaitForSingleObject(launcher, 0) == WAIT_TIMEOUT) {
        TerminateProcess(launcher, unhealthy_exit_code);
    }
    WaitForSingleObject(launcher, stop_wait_ms);
}

}  // namespace vorn
