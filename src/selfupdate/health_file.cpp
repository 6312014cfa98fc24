#include "selfupdate/health_file.h"

#include "core/file_system.h"
#include "core/hex.h"
#include "core/sha256.h"
#include "core/system/module_path.h"
#include "selfupdate/handover_protocol.h"

namespace vorn {
namespace {

// Three short lines: anything longer is not a health file.
constexpr std::uint64_t largest_health_file = 256;

}  // namespace

bool is_health_token(std::string_view token) {
    return token.size() == health_token_length && is_lower_hex(token);
}

bool is_health_token(std::wstring_view token) {
    return token.size() == health_token_length && is_lower_hex(token);
}

std::string health_file_text(const HealthRecord& record) {
    return "sha256=" + record.sha256 + "\r\ntoken=" + record.token + "\r\nbuild=" + record.build +
           "\r\n";
}

std::optional<HealthRecord> parse_health_file(std::string_view text) {
    HealthRecord record;
    auto sha256 = take_key_line(text, "sha256=");
    auto token = sha256 ? take_key_line(text, "token=") : std::nullopt;
    auto build = token ? take_key_line(text, "build=") : std::nullopt;
    if (!build || !text.empty()) {
        return std::nullopt;
    }
    return HealthRecord{std::move(*sha256), std::move(*token), std::move(*build)};
}

std::optional<HealthRecord> read_health_file(const std::filesystem::path& state_dir) {
    try {
        const Bytes bytes = read_file_limited(state_dir / health_file_name, largest_health_file);
        return parse_health_file(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (...) {
        return std::nullopt;  // missing or unreadable: not (yet) written
    }
}

void write_health_file(const std::filesystem::path& state_dir, const std::string& token,
                       const std::string& build) noexcept {
    if (!is_health_token(token)) {
        return;
    }
    try {
        const std::string text =
            health_file_text({sha256_file(running_program_path()), token, build});
        ensure_service_directory(state_dir);
        write_text_file_atomic(state_dir / health_file_name, text);
    } catch (...) {
        // The launcher starts normally either way; the updater then restores the old one.
    }
}

}  // namespace vorn
