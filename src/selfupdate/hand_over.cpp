#include "selfupdate/hand_over.h"

#include <windows.h>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/identifiers.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/system/module_path.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "selfupdate/handover_protocol.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr DWORD stop_wait_ms = 5000;
constexpr UINT refused_exit_code = 13;

// The updater's process: terminated on every path that does not release it.
class ProcessGuard {
  public:
    explicit ProcessGuard(HANDLE process) : process_(process) {}
    ~ProcessGuard() {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.get(), refused_exit_code);
            WaitForSingleObject(process_.get(), stop_wait_ms);
        }
    }
    ProcessGuard(const ProcessGuard&) = delete;
    ProcessGuard& operator=(const ProcessGuard&) = delete;
    HANDLE get() const { return process_.get(); }
    void release() { process_.reset(); }  // the updater lives on on its own

  private:
    UniqueKernelHandle process_;
};

std::wstring image_of(HANDLE process) {
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process, 0, image.data(), &size)) {
        return {};
    }
    image.resize(size);
    return image;
}

[[noreturn]] void fail_ready(DWORD code) {
    throw LauncherError("self_update_ready",
                        L"Обновлятор не подтвердил безопасный запуск. Текущий лаунчер сохранён.",
                        code);
}

// The blocked digest and its holder record, taken back on every path that does not end in
// a confirmed hand-over, a throw included: a digest left blocked would keep the build away.
class BlockedDigest {
  public:
    BlockedDigest(const fs::path& state_dir, const std::string& sha256) : state_dir_(state_dir) {
        ensure_service_directory(state_dir);
        record_run_holder(state_dir, GetCurrentProcess());
        try {
            write_text_file_atomic(state_dir / blocked_digest_file_name, sha256 + "\r\n");
        } catch (...) {
            forget_run_holder(state_dir);
            throw;
        }
    }
    ~BlockedDigest() {
        if (!handed_over_) {
            DeleteFileW(long_path(state_dir_ / blocked_digest_file_name).c_str());
            forget_run_holder(state_dir_);
        }
    }
    BlockedDigest(const BlockedDigest&) = delete;
    BlockedDigest& operator=(const BlockedDigest&) = delete;
    void hand_over() { handed_over_ = true; }  // the updater holds it from now on

  private:
    fs::path state_dir_;
    bool handed_over_ = false;
};

UniqueKernelHandle start_updater(const fs::path& updater, std::wstring command_line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(updater.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        updater.parent_path().c_str(), &startup, &process)) {
        throw LauncherError("self_update_spawn",
                            L"Не удалось запустить отдельный компонент обновления.",
                            GetLastError());
    }
    CloseHandle(process.hThread);
    return UniqueKernelHandle(process.hProcess);
}

// Signalled, still running, from the expected image (the same file, however its path is
// spelled: a substituted or mapped drive), which still has the expected digest.
bool confirmed(DWORD waited, const ProcessGuard& process, const fs::path& updater,
               const std::string& digest) {
    return waited == WAIT_OBJECT_0 && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT &&
           is_same_file(image_of(process.get()), updater) && sha256_file(updater) == digest;
}

struct ReadyEvent {
    std::string id = random_hex(16);
    DWORD process_id = GetCurrentProcessId();
    UniqueKernelHandle event;
};

ReadyEvent make_ready_event() {
    ReadyEvent ready;
    ready.event.reset(
        CreateEventW(nullptr, TRUE, FALSE, ready_event_name(ready.process_id, ready.id).c_str()));
    if (!ready.event || GetLastError() == ERROR_ALREADY_EXISTS) {
        throw LauncherError("self_update_ready",
                            L"Не удалось подготовить безопасный запуск обновления.",
                            GetLastError());
    }
    return ready;
}

// Held open, shared for reading only, so the verified file cannot be swapped meanwhile.
UniqueFile pin_updater(const fs::path& updater, const std::string& digest) {
    UniqueFile pinned(CreateFileW(updater.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!pinned) {
        throw LauncherError("self_update_spawn",
                            L"Не удалось открыть проверенный компонент обновления.",
                            GetLastError());
    }
    if (sha256_file(updater) != digest) {
        throw LauncherError("self_update_hash", L"Компонент обновления изменился перед запуском.",
                            ERROR_CRC);
    }
    return pinned;
}

// Starts the updater and returns once it confirmed; otherwise stops it and throws.
void start_and_confirm(const fs::path& updater, const std::string& digest, const ReadyEvent& ready,
                       const std::wstring& command_line) {
    ProcessGuard process(start_updater(updater, command_line).release());
    const HANDLE waits[2] = {ready.event.get(), process.get()};
    const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, updater_ready_timeout_ms);
    if (!confirmed(waited, process, updater, digest)) {
        if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.get(), refused_exit_code);
            WaitForSingleObject(process.get(), stop_wait_ms);
        }
        fail_ready(waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : refused_exit_code);
    }
    process.release();
}

std::wstring local_test_tail(const SelfUpdateContext& context) {
    return context.local_test_config
               ? L" --local-test-config " + quote_path(*context.local_test_config)
               : std::wstring();
}

}  // namespace

std::wstring updater_command_line(const SelfUpdateContext& context,
                                  const ReleaseDescriptor& descriptor, const fs::path& running,
                                  const fs::path& staged, const std::string& ready_id,
                                  DWORD process_id) {
    std::wstring line = quote_path(context.updater_path) + L" --apply " +
                        std::to_wstring(process_id) + L" " + quote_path(running) + L" " +
                        quote_path(staged) + L" " + to_utf16(descriptor.launcher.sha256) + L" " +
                        to_utf16(ready_id) + L" " + to_utf16(descriptor.launcher.build);
    return line + local_test_tail(context);
}

bool hand_over(const SelfUpdateContext& context, const ReleaseDescriptor& descriptor,
               const fs::path& staged) {
    const fs::path updater = updater_location(context);
    const std::string digest = expected_updater_digest(context, descriptor);
    const ReadyEvent ready = make_ready_event();
    SelfUpdateContext quoted = context;
    quoted.updater_path = updater;
    const std::wstring command_line = updater_command_line(
        quoted, descriptor, running_program_path(), staged, ready.id, ready.process_id);
    const UniqueFile pinned = pin_updater(updater, digest);
    BlockedDigest blocked(context.state_dir, descriptor.launcher.sha256);
    start_and_confirm(updater, digest, ready, command_line);
    blocked.hand_over();
    return true;
}

std::wstring restore_command_line(const fs::path& updater, DWORD process_id,
                                  const fs::path& running, const std::string& unproven_sha256,
                                  const std::string& ready_id, const SelfUpdateContext& context) {
    return quote_path(updater) + L" --restore " + std::to_wstring(process_id) + L" " +
           quote_path(running) + L" " + to_utf16(unproven_sha256) + L" " + to_utf16(ready_id) +
           local_test_tail(context);
}

bool hand_over_restore(const SelfUpdateContext& context, const std::string& updater_sha256,
                       const std::string& unproven_sha256) {
    const fs::path updater = updater_location(context);
    const ReadyEvent ready = make_ready_event();
    const std::wstring command_line = restore_command_line(
        updater, ready.process_id, running_program_path(), unproven_sha256, ready.id, context);
    const UniqueFile pinned = pin_updater(updater, updater_sha256);
    // This launcher holds the restore until the updater takes it over.
    record_run_holder(context.state_dir, GetCurrentProcess());
    try {
        start_and_confirm(updater, updater_sha256, ready, command_line);
    } catch (...) {
        forget_run_holder(context.state_dir);
        throw;
    }
    return true;
}

}  // namespace vorn
