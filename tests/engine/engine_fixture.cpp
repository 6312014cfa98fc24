#include <cstring>

#include "core/client_key.h"
#include "core/sha256.h"
#include "core/text.h"
#include "engine/manifest/installed_receipt.h"
#include "engine_fixture.h"
#include "model/endpoints.h"
#include "net/winhttp_transport.h"

namespace vorn::test {

namespace fs = std::filesystem;

EngineFixture::EngineFixture(const LoopbackServer* server)
    : server_(server), cache_dir_(cache_.path() / L"service") {
    if (server_) {
        prefix_ = LoopbackServer::new_prefix();
        fs::create_directories(feed_dir());
    }
    restart();
}

UpdateEngine& EngineFixture::restart() {
    engine_.reset();
    engine_ = std::make_unique<UpdateEngine>(
        config(), std::make_shared<WinHttpTransport>(),
        [this](const UiSnapshot& view) { views.push_back(view); }, ReportFunction{});
    return *engine_;
}

LauncherConfig EngineFixture::config() const {
    LauncherConfig config;
    config.root = root().native();
    config.cache_dir = cache_dir_.native();
    config.local_test = true;
    if (server_) {
        config.endpoints.manifest_url = server_->url(prefix_ + "manifest.json");
        config.endpoints.update_base_url = server_->url(prefix_ + "blobs/");
        config.endpoints.guild_base_url = server_->url(prefix_ + "klan/");
        config.endpoints.guild_fallback_url = server_->url(prefix_ + "mirror/");
    } else {
        config.endpoints.manifest_url = L"http://127.0.0.1:9/manifest.json";
        config.endpoints.update_base_url = L"http://127.0.0.1:9/blobs/";
    }
    return config;
}

void EngineFixture::serve_guild(const std::string& folder, const std::string& version,
                                const std::string& text, const std::string& png) const {
    const fs::path dir = feed_dir() / fs::path(folder).make_preferred();
    fs::create_directories(dir);
    write_raw_file(dir / L"iconlist_guild.txt", text);
    write_raw_file(dir / L"iconlist_guild.png", png);
    write_raw_file(dir / L"version.txt", version);
}

fs::path EngineFixture::feed_dir() const {
    return server_->root() / fs::path(prefix_.substr(1)).make_preferred();
}

fs::path EngineFixture::write(const std::string& relative, const std::string& content) const {
    const fs::path path = root() / fs::path(relative).make_preferred();
    fs::create_directories(path.parent_path());
    write_raw_file(path, content);
    return path;
}

void EngineFixture::install(const std::vector<ClientFile>& files) const {
    write("element/elementclient.exe", "game");
    for (const ClientFile& file : files) {
        write(file.path, file.content);
    }
}

std::optional<std::string> EngineFixture::content_of(const std::string& relative) const {
    const std::filesystem::path file = root() / std::filesystem::path(relative).make_preferred();
    return std::filesystem::exists(file) ? std::optional(read_raw_file(file)) : std::nullopt;
}

void EngineFixture::publish(const nlohmann::json& manifest) const {
    write_raw_file(feed_dir() / L"manifest.json", manifest.dump());
}

void EngineFixture::serve_blob(const std::string& digest, const std::string& body) const {
    const std::filesystem::path blob =
        feed_dir() / L"blobs" / to_utf16(digest.substr(0, 2)) / to_utf16(digest + ".dat");
    std::filesystem::create_directories(blob.parent_path());
    write_raw_file(blob, body);
}

nlohmann::json manifest_of(const std::vector<ClientFile>& files, const std::string& version) {
    nlohmann::json entries = nlohmann::json::array();
    for (const ClientFile& file : files) {
        entries.push_back({{"path", file.path},
                           {"sha256", sha256_string(file.content)},
                           {"size", file.content.size()}});
    }
    return {{"version", version}, {"files", entries}};
}

HttpResponse response_of(const std::string& body, const std::string& etag) {
    HttpResponse response;
    response.status = 200;
    response.body.assign(body.begin(), body.end());
    if (!etag.empty()) {
        response.headers["etag"] = etag;
    }
    return response;
}

Legacy legacy_for(const fs::path& root) {
    Legacy legacy;
    legacy.root = client_key(root);
    legacy.feed = feed_digest(default_endpoints().manifest_url);
    legacy.key = sha256_string("key");
    return legacy;
}

}  // namespace vorn::test
