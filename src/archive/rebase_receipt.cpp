#include "archive/rebase_receipt.h"

#include <array>

#include <nlohmann/json.hpp>

#include "core/client_key.h"
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

// The groups as recorded, every file proven now; none when anything fails.
std::vector<RebasedArchive> read_groups(const RebaseReceiptInputs& inputs, const json& groups) {
    std::vector<RebasedArchive> archives;
    for (const json& group : groups) {
        RebasedArchive archive{.main = fields.text(fields.member(group, "main")),
                               .changed_members = fields.size(
                                   fields.member(group, "changed_members"), largest_delta_file)};
        if (!is_eligible(archive.main)) {
            return {};
        }
        for (const json& file : fields.member(group, "files")) {
            const std::string relative = fields.text(fields.member(file, "path"));
            const FileDigest digest{fields.text(fields.member(file, "sha256")),
                                    fields.size(fields.member(file, "bytes"), largest_delta_file)};
            if (!is_sha256_hex(digest.sha256) || !file_is_proven(inputs, relative, digest)) {
                return {};
            }
            archive.files.emplace_back(relative, digest);
        }
        archives.push_back(std::move(archive));
    }
    return archives;
}

std::vector<RebasedArchive> read_state(const RebaseReceiptInputs& inputs,
                                       const std::filesystem::path& path,
                                       const std::string& manifest_key,
                                       const std::string& delta_sha256) {
    json state = read_json_file(path, largest_rebase_state);
    const std::string checksum = fields.text(fields.member(state, "checksum"));
    state.erase("checksum");
    const json& schema = fields.member(state, "schema");
    const json& groups = fields.member(state, "groups");
    if (sha256_string(compact_json(state)) != checksum || !schema.is_number_integer() ||
        schema.get<std::int64_t>() != 1 ||
        !is_same_client_folder(fields.text(fields.member(state, "root")), inputs.root) ||
        fields.text(fields.member(state, "manifest_key")) != manifest_key ||
        fields.text(fields.member(state, "delta_sha256")) != delta_sha256 || !groups.is_array() ||
        groups.size() > most_groups) {
        return {};
    }
    return read_groups(inputs, groups);
}

}  // namespace

std::vector<RebasedArchive> load_rebase_groups(const RebaseReceiptInputs& inputs,
                                               const std::string& manifest_key,
                                               const std::string& delta_sha256) {
    const std::filesystem::path path = inputs.state_dir / rebase_state_file_name;
    try {
        require_local_path_length(path);
        if (!file_exists(path)) {
            return {};
        }
        return read_state(inputs, path, manifest_key, delta_sha256);
    } catch (const std::exception&) {
        // Damaged, stale or unreadable: the archives simply count as differing.
        return {};
    }
}

Overrides load_rebase_receipt(const RebaseReceiptInputs& inputs, const std::string& manifest_key,
                              const std::string& delta_sha256) {
    Overrides receipt;
    for (const RebasedArchive& archive : load_rebase_groups(inputs, manifest_key, delta_sha256)) {
        for (const auto& [path, digest] : archive.files) {
            receipt[path] = digest;
        }
    }
    return receipt;
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
