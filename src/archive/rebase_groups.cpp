#include "archive/rebase_groups.h"

#include <algorithm>
#include <array>

#include "core/launcher_error.h"
#include "core/text.h"

namespace vorn {
namespace {

constexpr std::array<std::string_view, 6> rebase_archives = {
    "element/configs.pck",   "element/gfx.pck",    "element/interfaces.pck",
    "element/litmodels.pck", "element/models.pck", "element/sfx.pck"};

[[noreturn]] void fail_plan() {
    throw LauncherError("delta_rebase_plan",
                        L"Пакет не содержит согласованного обновления архива.");
}

bool is_append_with_base(const DeltaEntry* entry) {
    return entry && entry->operation == "append" && entry->base;
}

}  // namespace

std::string archive_key(std::string_view path) {
    std::string key = lower_ascii(forward_slashes(std::string(path)));
    if (key.ends_with(".pkx")) {
        key.replace(key.size() - 4, 4, ".pck");
    }
    return key;
}

bool is_rebase_archive(const std::string& key) {
    return std::find(rebase_archives.begin(), rebase_archives.end(), key) != rebase_archives.end();
}

std::string require_rebase_key(std::string_view path) {
    const std::string key = archive_key(path);
    if (!is_rebase_archive(key)) {
        LauncherError error("delta_wrong_base",
                            L"Архив не поддерживает совместимое обновление: " + to_utf16(path));
        error.archive_path = std::string(path);
        throw error;
    }
    return key;
}

std::vector<const DeltaEntry*> RebaseGroup::entries() const {
    return pkx ? std::vector<const DeltaEntry*>{pck, pkx} : std::vector<const DeltaEntry*>{pck};
}

std::uint64_t RebaseGroup::tail_start() const {
    std::uint64_t start = 0;
    for (const DeltaEntry* entry : entries()) {
        start += entry->base->bytes;
    }
    return start;
}

RebaseGroup plan_rebase_group(const DeltaManifest& delta, const std::string& key) {
    RebaseGroup group{.key = key};
    const std::string pkx_path = key.substr(0, key.size() - 4) + ".pkx";
    for (const DeltaEntry& entry : delta.entries) {
        const std::string normal = lower_ascii(forward_slashes(entry.path));
        if (normal == key) {
            group.pck = &entry;
        } else if (normal == pkx_path) {
            group.pkx = &entry;
        }
    }
    if (!is_append_with_base(group.pck) || (group.pkx && !is_append_with_base(group.pkx))) {
        fail_plan();
    }
    return group;
}

}  // namespace vorn
