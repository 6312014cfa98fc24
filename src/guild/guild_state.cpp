#include "guild/guild_state.h"

#include <nlohmann/json.hpp>

#include "core/json_fields.h"
#include "core/json_io.h"
#include "model/manifest.h"

namespace vorn {

bool accepts_guild_patch(const GuildStateFile& state_file, std::string_view path,
                         const std::string& expected_sha, const std::string& actual_sha) {
    if (!is_guild_archive_path(path)) {
        return false;
    }
    try {
        const nlohmann::json state = read_json_file(state_file.path, largest_guild_state);
        const JsonFields fields("local_state", L"Неверное состояние значков гильдий.");
        return fields.text(fields.member(state, "root")) == state_file.root_key &&
               fields.text(fields.member(state, "base_sha256")) == expected_sha &&
               fields.text(fields.member(state, "patched_sha256")) == actual_sha;
    } catch (const std::exception&) {
        return false;  // no state, or not ours: the patched archive is not vouched for
    }
}

}  // namespace vorn
