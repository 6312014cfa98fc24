#include "archive/rebase_receipt.h"

#include <array>

#include <nlohmann/json.hpp>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/hex.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "core/text.h"
#include "model/manifest.h"

namespace vorn {
namespace {

using nlohmann::json;

constexpr std::size_t most_groups = 6;

bool is_eligible(const std::string& main) {
    return is_rebase_archive(main);
}

bool file_is_proven(const RebaseReceiptInputs& inputs, const std::string& relative,
                    const FileDigest& digest) {
    const std::filesystem::path path =
        resolve_client_path(inputs.root, relative, LinkCheck::refuse_links);
    return is_plain_file(path) && client_file_size(path) == digest.bytes &&
           inputs.hash_file(path, to_utf16(relative), L"Проверяем сохранённые архивы") ==
               digest.sha256;
}

// Any fault of the state file's form: it is ignored as a whole.
const JsonFields fields("local_state", L"Неверное состояние пересобранных архивов.");

Overrides read_groups(const RebaseReceiptInputs& inputs, const json& groups) {
    Overrides receipt;
    for (const json& group : groups) {
        if (!is_eligible(fields.text(fields.member(group, "main")))) {
            return {};
        }
        for (const json& file : fields.member(group, "files")) {
            const std::string relative = fields.text(fields.member(file, "path"));
            const FileDigest digest{fields.text(fields.member(file, "sha256")),
                                    fields.size(fields.member(file, "bytes"), largest_delta_file)};
            if (!is_sha256_hex(digest.sha256) || !file_is_proven(inputs, relative, digest)) {
                return {};
            }
            receipt[relative] = digest;
        }
    }
    return receipt;
}

Overrides read_receipt(const RebaseReceiptInputs& inputs, const std::filesystem::path& path,
                       const std::string& manifest_key, const std::string& delta_sha256) {
    json state = read_json_file(path, largest_rebase_state);
    const std::string checksum = fields.text(fields.member(state, "checksum"));
    state.erase("checksum");
    const json& schema = fields.member(state, "schema");
    const json& groups = fields.member(state, "groups");
    if (sha256_string(compact_json(state)) != checksum || !schema.is_number_integer() ||
        schema.get<std::int64_t>() != 1 ||
        fields.text(fields.member(state, "root")) != to_utf8(inputs.root.native()) ||
        fields.text(fields.member(state, "manifest_key")) != manifest_key ||
        fields.text(fields.member(state, "delta_sha256")) != delta_sha256 || !groups.is_array() ||
        groups.size() > most_groups) {
        return {};
    }
    return read_groups(inputs, groups);
}

}  // namespace

Overrides load_rebase_receipt(const RebaseReceiptInputs& inputs, const std::string& manifest_key,
                              const std::string& delta_sha256) {
    const std::filesystem::path path = inputs.state_dir / rebase_state_file_name;
    try {
        require_local_path_length(path);
        if (!file_exists(path)) {
            return {};
        }
        return read_receipt(inputs, path, manifest_key, delta_sha256);
    } catch (const std::exception&) {
        // Damaged, stale or unreadable: the archives simply count as differing.
        return {};
    }
}

void write_rebase_state(const RebaseReceiptInputs& inputs, const std::string& manifest_key,
                        const std::string& delta_sha256,
                        const std::vector<RebasedArchive>& groups) {
    json list = json::array();
    for (const RebasedArchive& group : groups) {
        json files = json::array();
        for (const auto& [path, digest] : group.files) {
            files.push_back({{"path", path}, {"sha256", digest.sha256}, {"bytes", digest.bytes}});
        }
        list.push_back(
            {{"main", group.main}, {"files", files}, {"changed_members", group.changed_members}});
    }
    json state = {{"schema", 1},
                  {"root", to_utf8(inputs.root.native())},
                  {"manifest_key", manifest_key},
                  {"delta_sha256", delta_sha256},
                  {"groups", list}};
    state["checksum"] = sha256_string(compact_json(state));
    write_json_file(inputs.state_dir / rebase_state_file_name, state);
}

}  // namespace vorn
