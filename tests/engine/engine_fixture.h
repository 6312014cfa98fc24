// A client folder with its service folder, a feed on the loopback server and an engine
// in the local-test mode that reads from it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/client/update_engine.h"
#include "model/ui_snapshot.h"
#include "support/legacy_receipt.h"
#include "support/loopback_control.h"
#include "support/temp_dir.h"

namespace vorn::test {

struct ClientFile {
    std::string path;
    std::string content;
};

// One listed file of an update: its live content before (none: absent) and after.
struct Change {
    std::string path;
    std::optional<std::string> before;
    std::string after;
};

class EngineFixture {
  public:
    // Without a server the manifest address is unreachable (a closed loopback port).
    explicit EngineFixture(const LoopbackServer* server = nullptr);

    UpdateEngine& engine() { return *engine_; }
    // A new launcher run over the same folders (views are kept).
    UpdateEngine& restart();

    const std::filesystem::path& root() const { return client_.path(); }
    const std::filesystem::path& cache_dir() const { return cache_dir_; }
    // The server path of this test's feed ("/t/<hex>/"), empty without a server.
    const std::string& prefix() const { return prefix_; }
    // The feed folder on disk, served statically under prefix().
    std::filesystem::path feed_dir() const;

    std::filesystem::path write(const std::string& relative, const std::string& content) const;
    // The content of a client file, or nothing when it is absent.
    std::optional<std::string> content_of(const std::string& relative) const;
    // Writes the files into the client and a game executable beside them.
    void install(const std::vector<ClientFile>& files) const;
    // Publishes a manifest document as the feed's manifest.json (served with a strong
    // etag and last-modified).
    void publish(const nlohmann::json& manifest) const;
    // Serves `body` as the content-addressed blob of `digest` (blobs/<2 digits>/<digest>.dat).
    void serve_blob(const std::string& digest, const std::string& body) const;

    // Publishes a guild icon set under `folder` ("klan/" is the base address, "mirror/" the
    // fallback).
    void serve_guild(const std::string& folder, const std::string& version, const std::string& text,
                     const std::string& png) const;

    // The configuration every engine of this fixture starts from.
    LauncherConfig config() const;

    std::vector<UiSnapshot> views;

  private:
    const LoopbackServer* server_;
    ScopedTempDir client_;
    ScopedTempDir cache_;
    std::filesystem::path cache_dir_;
    std::string prefix_;
    std::unique_ptr<UpdateEngine> engine_;
};

// {"version": version, "files": [{"path", "sha256", "size"}...]} of these contents.
nlohmann::json manifest_of(const std::vector<ClientFile>& files, const std::string& version = "1");

// A response as the transport gives it: status 200 and the document as the body.
HttpResponse response_of(const std::string& body, const std::string& etag = "\"e1\"");

// A legacy receipt of this client for the production feed.
Legacy legacy_for(const std::filesystem::path& root);

}  // namespace vorn::test
