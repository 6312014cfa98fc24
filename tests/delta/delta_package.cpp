#include "delta_package.h"

#include <nlohmann/json.hpp>

#include "core/hex.h"
#include "core/sha256.h"
#include "support/compression.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

}  // namespace

DeltaScene::DeltaScene(std::vector<PackageFile> package) : files(std::move(package)) {
    const DeltaDocument document = delta_document(files);
    for (const auto& [name, stored] : document.payloads) {
        write_raw_file(state_.path() / L"payloads" / fs::path(name).filename(), stored);
    }
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(document.text.data()),
                         document.text.size());
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
