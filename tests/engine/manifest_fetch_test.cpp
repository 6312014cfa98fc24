#include <gtest/gtest.h>

#include "engine/actions/action_manifest.h"
#include "engine/manifest/manifest_fetch.h"
#include "engine_fixture.h"
#include "model/manifest.h"
#include "support/compression.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

using nlohmann::json;

std::string gzip(const std::string& text) {
    return test::compressed(text, true);
}

// "GET manifest.json.gz", "HEAD manifest.json", ... in the order the server saw them.
std::vector<std::string> seen(const test::LoopbackServer& server, const std::string& prefix) {
    std::vector<std::string> requests;
    for (const json& record : server.requests(prefix)) {
        requests.push_back(record["method"].get<std::string>() + " " +
                           record["path"].get<std::string>().substr(prefix.size()));
    }
    return requests;
}

const std::vector<test::ClientFile> files = {{"element/a.pck", "alpha"}};

class ManifestFetch : public ::testing::Test {
  protected:
    // The plain document, and a HEAD answer describing it with the given validators.
    json head(const std::string& etag, const std::string& last_modified = "Mon, 07 Dec 2026") {
        return {{"headers", {{"ETag", etag}, {"Last-Modified", last_modified}}},
                {"body_text", plain}};
    }
    const std::string plain = test::manifest_of(files, "5").dump();
};

TEST_F(ManifestFetch, FreshCompressedCopyReplacesThePlainDownload) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    fixture.publish(json::parse(plain));
    test::write_raw_file(fixture.feed_dir() / L"manifest.json.gz", gzip(plain));

    const Manifest& manifest = load_manifest(fixture.engine());
    EXPECT_EQ(manifest.version, "5");
    EXPECT_EQ(manifest.content_length, plain.size());
    EXPECT_TRUE(manifest.etag.starts_with("\"")) << manifest.etag;  // the plain document's
    EXPECT_EQ(seen(server, fixture.prefix()),
              (std::vector<std::string>{"HEAD manifest.json", "GET manifest.json.gz",
                                        "HEAD manifest.json"}));
    ASSERT_FALSE(fixture.views.empty());
    EXPECT_EQ(fixture.views.front().title, L"Получаем сведения об обновлении");
}

TEST_F(ManifestFetch, EveryDoubtAboutTheCopyFallsBackToThePlainDocument) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::vector<std::string> fell_back = {"HEAD manifest.json", "GET manifest.json.gz",
                                                "HEAD manifest.json", "GET manifest.json"};
    struct Case {
        const char* what;
        json head_answers;
        std::string gz_last_modified;
        std::string gz_content;
        std::vector<std::string> requests;
    };
    const std::string today = "Mon, 07 Dec 2026";
    const std::vector<Case> cases = {
        {"copy older than the document",
         json::array({head("\"m1\"")}),
         "Sun, 06 Dec 2026",
         gzip(plain),
         {"HEAD manifest.json", "GET manifest.json.gz", "GET manifest.json"}},
        {"copy of another size",
         json::array({head("\"m1\"")}),
         today,
         gzip("{}"),
         {"HEAD manifest.json", "GET manifest.json.gz", "GET manifest.json"}},
        {"document changed meanwhile", json::array({head("\"m1\""), head("\"m2\"")}), today,
         gzip(plain), fell_back},
        {"weak etag",
         json::array({head("W/\"m1\"")}),
         today,
         gzip(plain),
         {"HEAD manifest.json", "GET manifest.json"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::EngineFixture fixture(&server);
        fixture.publish(json::parse(plain));
        server.answer(fixture.prefix() + "manifest.json", c.head_answers, "HEAD");
        test::write_raw_file(fixture.feed_dir() / L"copy.gz", c.gz_content);
        server.answer(fixture.prefix() + "manifest.json.gz",
                      json::array({{{"headers", {{"Last-Modified", c.gz_last_modified}}},
                                    {"body_file", fixture.prefix().substr(1) + "copy.gz"}}}),
                      "GET");

        const Manifest& manifest = load_manifest(fixture.engine());
        EXPECT_EQ(manifest.version, "5");
        EXPECT_TRUE(fixture.engine().state.manifest_loaded);
        EXPECT_EQ(seen(server, fixture.prefix()), c.requests);
    }
}

TEST_F(ManifestFetch, AddressOfACompressedFileIsFetchedOnlyPlainly) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    test::write_raw_file(fixture.feed_dir() / L"m.json.gz", plain);
    fixture.engine().services.config.endpoints.manifest_url =
        server.url(fixture.prefix() + "m.json.gz");

    EXPECT_EQ(load_manifest(fixture.engine()).version, "5");
    EXPECT_EQ(seen(server, fixture.prefix()), (std::vector<std::string>{"GET m.json.gz"}));
}

TEST_F(ManifestFetch, PlainFailureIsAManifestFailure) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);  // nothing published: every answer is 404
    const auto error = test::capture_error([&] { load_manifest(fixture.engine()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->event, "manifest_failed");
    EXPECT_EQ(error->http_status, 404u);
    EXPECT_FALSE(fixture.engine().state.manifest_loaded);
}

}  // namespace
}  // namespace vorn
