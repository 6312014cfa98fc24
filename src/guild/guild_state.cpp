#include "guild/guild_state.h"

#include <nlohmann/json.hpp>

#include "core/json_fields.h"
#include "core/json_io.h"
#include "model/manifest.h"

namespace vorn {
namespace {

constexpr std::size_t longest_guild_text = 128;

}  // namespace

std::optional<GuildState> read_guild_state(const GuildStateFile& state_file) {
    try {
        const nlohmann::json document = read_json_file(state_file.path, largest_guild_state);
        const JsonFields fields("local_state", L"Неверное состояние значков гильдий.");
        if (fields.text(fields.member(document, "root")) != state_file.root_key) {
            return std::nullopt;  // copied from another client folder
        }
        const auto optional_text = [&](const char* key) {
            const nlohmann::json* value = fields.find(document, key);
            return value ? fields.text(*value, longest_guild_text) : std::string();
        };
        return GuildState{.version = optional_text("version"),
                          .base_sha256 = optional_text("base_sha256"),
                          .patched_sha256 = optional_text("patched_sha256"),
                          .png_sha256 = optional_text("png_sha256"),
                          .text_sha256 = optional_text("text_sha256")};
    } catch (const std::exception&) {
        return std::nullopt;  // a state that cannot be read counts as none
    }
}

void write_guild_state(const GuildStateFile& state_file, const GuildState& state) {
    write_json_file(state_file.path, {{"schema", 2},
                                      {"root", state_file.root_key},
                                      {"version", state.version},
                                      {"base_sha256", state.base_sha256},
                                      {"patched_sha256", state.patched_sha256},
                                      {"png_sha256", state.png_sha256},
                                      {"text_sha256", state.text_sha256}});
}

bool accepts_guild_patch(const GuildStateFile& state_file, std::string_view path,
                         const std::string& expected_sha, const std::string& actual_sha) {
    if (!is_guild_archive_path(path)) {
        return false;
    }
    const std::optional<GuildState> state = read_guild_state(state_file);
    return state && !state->base_sha256.empty() && state->base_sha256 == expected_sha &&
           state->patched_sha256 == actual_sha;
}

}  // namespace vorn
