#include "delta_package.h"

#include <nlohmann/json.hpp>

#include "core/hex.h"
#include "core/sha256.h"
#include "support/compression.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

Json digest(const std::string& bytes) {
    return {{"sha256", sha256_string(bytes)}, {"bytes", bytes.size()}};
}

std::string hex_of(const std::string& bytes) {
    return to_hex(ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

Json entry_json(const PackageFile& file, const fs::path& payload_dir) {
    const std::string raw = file.append ? file.after.substr(file.before->size()) : file.after;
    const std::string stored = file.stored ? *file.stored : compressed(raw, false);
    const Json compressed_digest = digest(stored);
    const std::string name = compressed_digest["sha256"].get<std::string>() + ".zlib";
    write_raw_file(payload_dir / name, stored);
    Json entry = {{"path", file.path},
                  {"operation", file.append ? "append" : "full"},
                  {"base", file.append ? digest(*file.before) : Json(nullptr)},
                  {"target", digest(file.after)},
                  {"patch_header", nullptr},
                  {"payload",
                   {{"path", "payload/" + name},
                    {"compression", "zlib"},
                    {"compressed", compressed_digest},
                    {"raw", digest(raw)}}}};
    if (file.append && file.before->size() >= 12) {
        entry["patch_header"] = {{"offset", 4},
                                 {"before_hex", hex_of(file.before->substr(4, 4))},
                                 {"after_hex", hex_of(file.after.substr(4, 4))}};
    }
    return entry;
}

}  // namespace

DeltaScene::DeltaScene(std::vector<PackageFile> package) : files(std::move(package)) {
    Json entries = Json::array();
    Json profile = Json::array();
    for (const PackageFile& file : files) {
        entries.push_back(entry_json(file, state_.path() / L"payloads"));
        if (file.append) {
            Json base = digest(*file.before);
            base["path"] = file.path;
            profile.push_back(base);
        }
    }
    const std::string text = Json{
        {"schema", "vorn-client-delta-v1"},
        {"source_package", {{"path", "p.tar"}, {"sha256", std::string(64, '9')}}},
        {"full_base_null_means", "absent"},
        {"files", entries},
        {"required_base_profile",
         profile}}.dump();
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    manifest_ = parse_delta_manifest(bytes, sha256_bytes(bytes), {});
    install_before();
}

PayloadProvider DeltaScene::payloads() const {
    return [dir = state_.path() / L"payloads"](const delta::Payload& payload) {
        return dir / (payload.compressed.sha256 + ".zlib");
    };
}

void DeltaScene::install_before() const {
    for (const PackageFile& file : files) {
        const fs::path path = root() / fs::path(file.path).make_preferred();
        if (file.before) {
            fs::create_directories(path.parent_path());
            write_raw_file(path, *file.before);
        } else {
            fs::remove(path);
        }
    }
}

std::optional<std::string> DeltaScene::live(const std::string& path) const {
    const fs::path file = root() / fs::path(path).make_preferred();
    return fs::exists(file) ? std::optional<std::string>(read_raw_file(file)) : std::nullopt;
}

bool DeltaScene::all_at(bool before) const {
    for (const PackageFile& file : files) {
        if (live(file.path) != (before ? file.before : std::optional<std::string>(file.after))) {
            return false;
        }
    }
    return true;
}

bool DeltaScene::nothing_left() const {
    const fs::path work = root() / L".vorn-delta-work";
    return !fs::exists(journal()) && (!fs::exists(work) || fs::is_empty(work));
}

fs::path DeltaScene::journal() const {
    return root() / L".vorn-delta-journal-v1.json";
}

std::string DeltaScene::journal_phase() const {
    if (!fs::exists(journal())) {
        return "";
    }
    return Json::parse(read_raw_file(journal())).at("phase").get<std::string>();
}

}  // namespace vorn::test
