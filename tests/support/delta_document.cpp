#include "support/delta_document.h"

#include <nlohmann/json.hpp>

#include "core/hex.h"
#include "core/sha256.h"
#include "support/compression.h"

namespace vorn::test {
namespace {

using Json = nlohmann::json;

Json digest(const std::string& bytes) {
    return {{"sha256", sha256_string(bytes)}, {"bytes", bytes.size()}};
}

std::string hex_of(const std::string& bytes) {
    return to_hex(ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

Json entry_json(const PackageFile& file, DeltaDocument& document) {
    const std::string raw = file.append ? file.after.substr(file.before->size()) : file.after;
    const std::string stored = file.stored ? *file.stored : compressed(raw, false);
    const Json compressed_digest = digest(stored);
    const std::string name = "payload/" + sha256_string(stored) + ".zlib";
    document.payloads.emplace_back(name, stored);
    Json entry = {{"path", file.path},
                  {"operation", file.append ? "append" : "full"},
                  {"base", file.append ? digest(*file.before) : Json(nullptr)},
                  {"target", digest(file.after)},
                  {"patch_header", nullptr},
                  {"payload",
                   {{"path", name},
                    {"compression", "zlib"},
                    {"compressed", compressed_digest},
                    {"raw", digest(raw)}}}};
    if (file.append && file.before->size() >= 12 &&
        file.before->substr(4, 4) != file.after.substr(4, 4)) {
        entry["patch_header"] = {
            {"offset", 4},
            {"before_hex", file.before_hex ? *file.before_hex : hex_of(file.before->substr(4, 4))},
            {"after_hex", hex_of(file.after.substr(4, 4))}};
    }
    return entry;
}

}  // namespace

DeltaDocument delta_document(const std::vector<PackageFile>& files) {
    DeltaDocument document;
    Json entries = Json::array();
    Json profile = Json::array();
    for (const PackageFile& file : files) {
        entries.push_back(entry_json(file, document));
        if (file.append) {
            Json base = digest(*file.before);
            base["path"] = file.path;
            profile.push_back(base);
        }
    }
    document.text = Json{
        {"schema", "vorn-client-delta-v1"},
        {"source_package", {{"path", "p.tar"}, {"sha256", std::string(64, '9')}}},
        {"full_base_null_means", "absent"},
        {"files", entries},
        {"required_base_profile",
         profile}}.dump();
    return document;
}

}  // namespace vorn::test
