#include "delta/delta_plan.h"

#include "core/hex.h"
#include "core/launcher_error.h"
#include "delta/observed_files.h"

namespace vorn {
namespace {

bool same_entry(const DeltaEntry& a, const DeltaEntry& b) {
    const auto same_header = [](const std::optional<PatchHeader>& x,
                                const std::optional<PatchHeader>& y) {
        return x.has_value() == y.has_value() &&
               (!x || (x->offset == y->offset && x->before_hex == y->before_hex &&
                       x->after_hex == y->after_hex));
    };
    return a.path == b.path && a.operation == b.operation && a.base == b.base &&
           a.target == b.target && same_header(a.patch_header, b.patch_header) &&
           a.payload.path == b.payload.path && a.payload.compressed == b.payload.compressed &&
           a.payload.raw == b.payload.raw;
}

void check_overrides(const DeltaRoots& roots, const DeltaManifest& manifest,
                     const Overrides& overrides) {
    for (const auto& [path, digest] : overrides) {
        bool listed = false;
        for (const DeltaEntry& entry : manifest.entries) {
            listed = listed || normalize_manifest_path(entry.path) == normalize_manifest_path(path);
        }
        const bool updater_ok =
            !is_updater_path(path) || (roots.updater_pin && *roots.updater_pin == digest);
        if (!listed || !is_sha256_hex(digest.sha256) || digest.bytes > largest_delta_file ||
            !updater_ok) {
            fail_delta("delta_override");
        }
    }
}

DeltaPlanItem plan_item(const DeltaRoots& roots, const DeltaEntry& entry, const FileState& live,
                        const Overrides& overrides) {
    const std::optional<FileDigest> old =
        live.exists ? std::optional<FileDigest>(live.digest) : std::nullopt;
    if (const auto found = overrides.find(entry.path); found != overrides.end()) {
        if (!live.is(found->second)) {
            fail_delta("delta_override_changed");
        }
        return {entry.path, old, found->second, true};
    }
    if (roots.updater_pin && is_updater_path(entry.path) && live.is(*roots.updater_pin)) {
        return {entry.path, old, *roots.updater_pin, true};  // the pinned updater stays
    }
    return {entry.path, old, entry.target, live.is(entry.target)};
}

[[noreturn]] void fail_wrong_base(const DeltaEntry& entry, const FileState& live) {
    LauncherError error("delta_wrong_base", L"Архив не соответствует исходной версии обновления.");
    error.archive_path = entry.path;
    error.bytes = live.exists ? live.digest.bytes : 0;
    error.expected_bytes = entry.base ? entry.base->bytes : 0;
    throw error;
}

}  // namespace

void require_plan_unchanged(const DeltaManifest& manifest) {
    const std::string& text = manifest.manifest_text;
    const DeltaManifest again = parse_delta_manifest(
        ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
        manifest.manifest_sha256, {});
    bool same = again.entries.size() == manifest.entries.size();
    for (std::size_t i = 0; same && i < again.entries.size(); ++i) {
        same = same_entry(again.entries[i], manifest.entries[i]);
    }
    if (!same) {
        fail_delta("delta_plan_changed");
    }
}

std::vector<DeltaPlanItem> plan_items(const DeltaRoots& roots, const DeltaManifest& manifest,
                                      const Overrides& overrides, const KnownStates& known,
                                      const DeltaProgress& progress) {
    check_overrides(roots, manifest, overrides);
    const std::size_t count = manifest.entries.size();
    report(progress, "inspect_start", {}, 0, count);
    std::vector<std::size_t> unread;
    for (std::size_t i = 0; i < count; ++i) {
        if (!known.contains(manifest.entries[i].path)) {
            unread.push_back(i);
        }
    }
    ObservedFiles live_files(unread.size(), [&](std::size_t k) {
        return resolve_delta_path(roots.root, manifest.entries[unread[k]].path);
    });
    std::vector<DeltaPlanItem> items;
    std::vector<FileState> states;
    for (std::size_t i = 0, next = 0; i < count; ++i) {
        const DeltaEntry& entry = manifest.entries[i];
        report(progress, "inspect_file", entry.path, i + 1, count);
        const auto found = known.find(entry.path);
        if (found != known.end()) {
            resolve_delta_path(roots.root, entry.path);  // its path is refused as if read
            states.push_back(found->second);
        } else {
            states.push_back(live_files.take(next++, progress, entry.path));
        }
        items.push_back(plan_item(roots, entry, states.back(), overrides));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const DeltaEntry& entry = manifest.entries[i];
        if (!items[i].keep && entry.operation == "append" && !states[i].is(entry.base)) {
            fail_wrong_base(entry, states[i]);
        }
    }
    return items;
}

}  // namespace vorn
