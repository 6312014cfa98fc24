#include "selfupdate/handover_protocol.h"

#include <charconv>
#include <optional>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "core/unique_handle.h"

namespace vorn {
namespace {

struct HolderRecord {
    DWORD process_id = 0;
    std::uint64_t started = 0;  // creation time: a reused process id is another process
};

std::optional<std::uint64_t> start_time_of(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return std::nullopt;
    }
    return size_from_halves(created.dwHighDateTime, created.dwLowDateTime);
}

std::string holder_text(const HolderRecord& record) {
    return "pid=" + std::to_string(record.process_id) +
           "\r\nstarted=" + std::to_string(record.started) + "\r\n";
}

template <typename Number>
std::optional<Number> number_after(std::string_view& text, std::string_view key) {
    const auto value = take_key_line(text, key);
    if (!value) {
        return std::nullopt;
    }
    const char* last = value->data() + value->size();
    Number number{};
    const auto [end, error] = std::from_chars(value->data(), last, number);
    if (error != std::errc() || end != last || value->empty()) {
        return std::nullopt;
    }
    return number;
}

std::optional<std::string> read_small_text(const std::filesystem::path& path) {
    try {
        const Bytes bytes = read_file_limited(path, 256);
        return std::string(bytes.begin(), bytes.end());
    } catch (const LauncherError&) {
        return std::nullopt;
    }
}

void remove_quietly(const std::filesystem::path& path) noexcept {
    try {
        remove_file_if_present(path);
    } catch (...) {
        // Left behind, it names what is no longer there: the readers check it against that.
    }
}

std::optional<HolderRecord> parse_holder(std::string_view text) {
    const auto process_id = number_after<DWORD>(text, "pid=");
    const auto started = process_id ? number_after<std::uint64_t>(text, "started=") : std::nullopt;
    if (!started || !text.empty()) {
        return std::nullopt;
    }
    return HolderRecord{*process_id, *started};
}

bool runs(const HolderRecord& record) {
    const UniqueKernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, record.process_id));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT &&
           start_time_of(process.get()) == record.started;
}

}  // namespace

std::optional<std::string> take_key_line(std::string_view& text, std::string_view key) {
    const std::size_t end = text.find("\r\n");
    if (!text.starts_with(key) || end == std::string_view::npos || end < key.size()) {
        return std::nullopt;
    }
    std::string value(text.substr(key.size(), end - key.size()));
    text.remove_prefix(end + 2);
    return value;
}

std::string read_digest_file(const std::filesystem::path& path) {
    try {
        const Bytes bytes = read_file_limited(path, 256);
        std::string text(bytes.begin(), bytes.end());
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
            text.pop_back();
        }
        return text;
    } catch (const std::exception&) {
        return {};
    }
}

std::wstring ready_event_name(DWORD process_id, const std::string& ready_id) {
    return L"Local\\VornellUpdaterReadyV1-" + std::to_wstring(process_id) + L"-" +
           to_utf16(ready_id);
}

std::wstring quote_path(const std::filesystem::path& path) {
    if (path.native().find(L'"') != std::wstring::npos) {
        throw LauncherError("self_update_spawn",
                            L"Путь компонента обновления содержит недопустимый символ.");
    }
    return L"\"" + path.native() + L"\"";
}

void record_run_holder(const std::filesystem::path& state_dir, HANDLE process) {
    const auto started = start_time_of(process);
    if (!started) {
        throw LauncherError("self_update_spawn",
                            L"Не удалось подготовить безопасный запуск обновления.",
                            GetLastError());
    }
    ensure_service_directory(state_dir);
    write_text_file_atomic(state_dir / run_holder_file_name,
                           holder_text({GetProcessId(process), *started}));
}

RunHolder run_holder(const std::filesystem::path& state_dir) {
    const std::filesystem::path path = state_dir / run_holder_file_name;
    try {
        if (!file_exists(path)) {
            return RunHolder::none;
        }
    } catch (const LauncherError&) {
        return RunHolder::ended;
    }
    const auto text = read_small_text(path);
    const auto record = text ? parse_holder(*text) : std::nullopt;
    return record && runs(*record) ? RunHolder::live : RunHolder::ended;
}

void forget_run_holder(const std::filesystem::path& state_dir) noexcept {
    remove_quietly(state_dir / run_holder_file_name);
}

void record_unproven_build(const std::filesystem::path& state_dir, const UnprovenBuild& build) {
    ensure_service_directory(state_dir);
    write_text_file_atomic(state_dir / unproven_build_file_name,
                           "sha256=" + build.sha256 + "\r\nprevious=" + build.previous + "\r\n");
}

std::optional<UnprovenBuild> read_unproven_build(const std::filesystem::path& state_dir) {
    const auto text = read_small_text(state_dir / unproven_build_file_name);
    if (!text) {
        return std::nullopt;
    }
    std::string_view rest = *text;
    auto sha256 = take_key_line(rest, "sha256=");
    auto previous = sha256 ? take_key_line(rest, "previous=") : std::nullopt;
    if (!previous || !rest.empty() || !is_sha256_hex(*sha256) || !is_sha256_hex(*previous)) {
        return std::nullopt;
    }
    return UnprovenBuild{std::move(*sha256), std::move(*previous)};
}

void forget_unproven_build(const std::filesystem::path& state_dir) noexcept {
    remove_quietly(state_dir / unproven_build_file_name);
}

}  // namespace vorn
