// The health file: a launcher started by the updater writes it once its window is ready,
// and the updater trusts the new build only when it names the token it was given, the
// digest it installed and the build it expected.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

inline constexpr const wchar_t* health_file_name = L"launcher-health-v2.txt";
inline constexpr std::size_t health_token_length = 32;

struct HealthRecord {
    std::string sha256;
    std::string token;
    std::string build;
};

bool is_health_token(std::string_view token);
bool is_health_token(std::wstring_view token);

// "sha256=<digest>\r\ntoken=<token>\r\nbuild=<build>\r\n"
std::string health_file_text(const HealthRecord& record);

// The record of exactly that text (three lines, in that order, each ending in CR LF);
// none for anything else, however close. Never throws.
std::optional<HealthRecord> parse_health_file(std::string_view text);

// The record in the state folder's health file; none when it is missing, unreadable,
// larger than a health file can be, or not a health file. Never throws.
std::optional<HealthRecord> read_health_file(const std::filesystem::path& state_dir);

// Writes the running launcher's digest, the token and the build for the updater that
// started this launcher. A token other than 32 lower-case hex digits writes nothing; every
// failure is swallowed: the launcher starts normally either way.
void write_health_file(const std::filesystem::path& state_dir, const std::string& token,
                       const std::string& build) noexcept;

}  // namespace vorn
