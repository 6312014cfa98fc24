#include <gtest/gtest.h>

#include <string>

#include "core/sha256.h"
#include "core/text.h"
#include "delta/delta_fetch.h"
#include "delta/payload_cache.h"
#include "engine/client/subsystem_inputs.h"
#include "engine/manifest/manifest_parse.h"
#include "engine_fixture.h"
#include "model/manifest.h"
#include "support/compression.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

using Json = nlohmann::json;
using test::EngineFixture;

constexpr std::uint64_t mib512 = 536870912;

Json digest_of(const std::string& content) {
    return {{"sha256", sha256_string(content)}, {"bytes", content.size()}};
}

Json file_record(const std::string& path, const std::string& sha256, std::uint64_t size) {
    return {{"path", path}, {"sha256", sha256}, {"size", size}};
}

// The feed of every test: one "full" entry writing `content` to element/config.ini.
const std::string content = "new config";
const std::string blob = test::compressed(content, false);
const std::string blob_name = "payload/" + sha256_string(blob) + ".zlib";
const delta::Payload payload{
    blob_name, {sha256_string(blob), blob.size()}, {sha256_string(content), content.size()}};
const Json listed = file_record("element/config.ini", sha256_string(content), content.size());
const std::string text = Json{
    {"schema", "vorn-client-delta-v1"},
    {"source_package", {{"path", "packages/client-1.tar"}, {"sha256", std::string(64, '9')}}},
    {"full_base_null_means", "absent before the update"},
    {"files", Json::array({{{"path", "element/config.ini"},
                            {"operation", "full"},
                            {"base", nullptr},
                            {"target", digest_of(content)},
                            {"patch_header", nullptr},
                            {"payload",
                             {{"path", blob_name},
                              {"compression", "zlib"},
                              {"compressed", digest_of(blob)},
                              {"raw", digest_of(content)}}}}})},
    {"required_base_profile",
     Json::array()}}.dump();

// Loads a manifest of `files` whose descriptor pins `text` at `url`; `descriptor`
// overrides its fields.
Manifest load(EngineFixture& fixture, Json files, const Json& descriptor = Json::object(),
              const std::string& url = "delta/index.json") {
    Json doc = {{"version", "1"},
                {"files", files},
                {"delta", {{"url", url}, {"sha256", sha256_string(text)}, {"size", text.size()}}}};
    doc["delta"].update(descriptor);
    return parse_manifest(fixture.engine().client, fixture.engine().services,
                          test::response_of(doc.dump()));
}

// Serves `text` at blobs/delta/index.json, and its payload next to it.
void serve(const EngineFixture& fixture) {
    const std::filesystem::path folder = fixture.feed_dir() / L"blobs" / L"delta";
    test::write_raw_file(folder / L"index.json", text);
    test::write_raw_file(folder / blob_name, blob);
}

TEST(DeltaFetch, FetchesAndParsesPinnedDocument) {
    VORN_REQUIRE_LOOPBACK(server);
    EngineFixture fixture(&server);
    serve(fixture);
    // Manifest paths match in any letter case and with either separator; exactly 512 MiB
    // need not come through the delta.
    const Manifest& manifest =
        load(fixture, {file_record("ELEMENT\\Config.ini", sha256_string(content), 10),
                       file_record("element/other.pck", std::string(64, 'a'), mib512)});

    const DeltaManifest delta =
        fetch_delta_manifest(delta_source(fixture.engine().client, fixture.engine().services,
                                          fixture.engine().state.view),
                             manifest);
    EXPECT_EQ(delta.manifest_text, text);
    ASSERT_EQ(delta.entries.size(), 1u);
    EXPECT_EQ(delta.entries[0].payload.path, blob_name);
    const Json requests = server.requests(fixture.prefix());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["path"], fixture.prefix() + "blobs/delta/index.json");
}

TEST(DeltaFetch, RefusesMissingFailedOrUnprovenDocument) {
    VORN_REQUIRE_LOOPBACK(server);
    EngineFixture fixture(&server);
    const Manifest& plain =
        parse_manifest(fixture.engine().client, fixture.engine().services,
                       test::response_of(Json{{"version", "1"}, {"files", {listed}}}.dump()));
    VORN_EXPECT_ERROR(
        fetch_delta_manifest(delta_source(fixture.engine().client, fixture.engine().services,
                                          fixture.engine().state.view),
                             plain),
        "delta_descriptor", L"Описание дельты отсутствует.");

    const auto missing = test::capture_error([&] {
        fetch_delta_manifest(delta_source(fixture.engine().client, fixture.engine().services,
                                          fixture.engine().state.view),
                             load(fixture, {listed}));
    });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->stage, "delta_index_http");
    EXPECT_EQ(missing->message, L"Не удалось загрузить описание дельты.");
    EXPECT_EQ(missing->http_status, 404);

    serve(fixture);
    for (const Json& descriptor :
         {Json{{"size", text.size() + 1}}, Json{{"sha256", sha256_string(text + " ")}}}) {
        const Manifest& manifest = load(fixture, {listed}, descriptor);
        VORN_EXPECT_ERROR(
            fetch_delta_manifest(delta_source(fixture.engine().client, fixture.engine().services,
                                              fixture.engine().state.view),
                                 manifest),
            "delta_index_sha", L"Описание дельты не прошло проверку. Файлы не изменены.")
            << descriptor.dump();
    }
}

TEST(DeltaFetch, CoverageMustMatchManifestFiles) {
    VORN_REQUIRE_LOOPBACK(server);
    EngineFixture fixture(&server);
    serve(fixture);
    const std::string sha = sha256_string(content);
    for (const Json& file : {file_record("element/other.ini", sha, 10),
                             file_record("element/config.ini", sha256_string("old config"), 10),
                             file_record("element/config.ini", sha, 11)}) {
        const Manifest& manifest = load(fixture, {file});
        VORN_EXPECT_ERROR(
            fetch_delta_manifest(delta_source(fixture.engine().client, fixture.engine().services,
                                              fixture.engine().state.view),
                                 manifest),
            "delta_coverage", L"Дельта не соответствует списку файлов обновления.")
            << file.dump();
    }

    const Manifest& big =
        load(fixture, {listed, file_record("element/big.pck", std::string(64, 'b'), mib512 + 1)});
    VORN_EXPECT_ERROR(
        fetch_delta_manifest(delta_source(fixture.engine().client, fixture.engine().services,
                                          fixture.engine().state.view),
                             big),
        "delta_coverage",
        L"Большой архив отсутствует в проверенной дельте. Обновление остановлено.");
}

TEST(DeltaUrl, ResolvesRelativeAndAbsoluteLocations) {
    EngineFixture fixture;
    UpdateEngine& engine = fixture.engine();
    EXPECT_EQ(resolve_delta_url(delta_source(engine.client, engine.services, engine.state.view),
                                "delta/index.json"),
              L"http://127.0.0.1:9/blobs/delta/index.json");
    engine.services.config.endpoints.update_base_url = L"http://127.0.0.1:9/blobs";
    EXPECT_EQ(resolve_delta_url(delta_source(engine.client, engine.services, engine.state.view),
                                "delta/index.json"),
              L"http://127.0.0.1:9/blobs/delta/index.json");
    EXPECT_EQ(resolve_delta_url(delta_source(engine.client, engine.services, engine.state.view),
                                "http://127.0.0.1:9/d/i.json"),
              L"http://127.0.0.1:9/d/i.json");
}

TEST(DeltaUrl, RefusesUnsafeLocations) {
    EngineFixture fixture;
    UpdateEngine& engine = fixture.engine();
    for (const std::string& location :
         {std::string(), std::string(2049, 'a'), std::string("http://127.0.0.1:9/d/i.json?v=1"),
          std::string("delta/i.json#x"), std::string("delta/in dex.json"),
          std::string("delta/\x7f.json"), std::string("delta/\xc3\xa9.json"),
          std::string("delta\\index.json")}) {
        VORN_EXPECT_ERROR(
            resolve_delta_url(delta_source(engine.client, engine.services, engine.state.view),
                              location),
            "delta_url", L"В описании дельты указан недопустимый адрес.")
            << location;
    }
    VORN_EXPECT_ERROR(
        resolve_delta_url(delta_source(engine.client, engine.services, engine.state.view),
                          "../index.json"),
        "unsafe_path");
    VORN_EXPECT_ERROR(
        resolve_delta_url(delta_source(engine.client, engine.services, engine.state.view),
                          "delta/../index.json"),
        "unsafe_path");
    VORN_EXPECT_ERROR(
        resolve_delta_url(delta_source(engine.client, engine.services, engine.state.view),
                          "https://updates.example.com/delta/index.json"),
        "qa_network_blocked");
}

TEST(DeltaUrl, PayloadResolvesNextToDeltaDocument) {
    EngineFixture fixture;
    const std::wstring name = to_utf16(blob_name);
    EXPECT_EQ(resolve_payload_url(delta_source(fixture.engine().client, fixture.engine().services,
                                               fixture.engine().state.view),
                                  load(fixture, {listed}), payload),
              L"http://127.0.0.1:9/blobs/delta/" + name);
    const Manifest& absolute =
        load(fixture, {listed}, Json::object(), "http://127.0.0.1:9/d/v2/i.json");
    EXPECT_EQ(resolve_payload_url(delta_source(fixture.engine().client, fixture.engine().services,
                                               fixture.engine().state.view),
                                  absolute, payload),
              L"http://127.0.0.1:9/d/v2/" + name);
}

std::filesystem::path cache_file(const UpdateEngine& engine) {
    return engine.client.cache_dir / L"delta-payloads-v1" / (sha256_string(blob) + ".zlib");
}

TEST(PayloadCache, DownloadsOnceThenServesFromCache) {
    VORN_REQUIRE_LOOPBACK(server);
    EngineFixture fixture(&server);
    serve(fixture);
    const Manifest& manifest = load(fixture, {listed});

    const std::filesystem::path path =
        cached_payload(delta_source(fixture.engine().client, fixture.engine().services,
                                    fixture.engine().state.view),
                       manifest, payload);
    EXPECT_EQ(path, cache_file(fixture.engine()));
    EXPECT_EQ(test::read_raw_file(path), blob);
    const Json first = server.requests(fixture.prefix());
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.back()["path"], fixture.prefix() + "blobs/delta/" + blob_name);

    EXPECT_EQ(cached_payload(delta_source(fixture.engine().client, fixture.engine().services,
                                          fixture.engine().state.view),
                             manifest, payload),
              path);
    EXPECT_EQ(server.requests(fixture.prefix()).size(), first.size());
}

// A damaged cache file stops this run with its stage and goes, so the next run fetches it
// again instead of stopping on it for good.
TEST(PayloadCache, DamagedCacheFileStopsThisRunOnly) {
    VORN_REQUIRE_LOOPBACK(server);
    EngineFixture fixture(&server);
    serve(fixture);
    const std::string damaged(blob.size(), 'x');
    test::write_raw_file(cache_file(fixture.engine()), damaged);
    const Manifest& manifest = load(fixture, {listed});

    VORN_EXPECT_ERROR(
        cached_payload(delta_source(fixture.engine().client, fixture.engine().services,
                                    fixture.engine().state.view),
                       manifest, payload),
        "delta_payload_cache", L"Сохранённый файл дельты повреждён. Проверка остановлена.");
    EXPECT_TRUE(server.requests(fixture.prefix()).empty());
    EXPECT_FALSE(std::filesystem::exists(cache_file(fixture.engine())));

    EXPECT_EQ(test::read_raw_file(
                  cached_payload(delta_source(fixture.engine().client, fixture.engine().services,
                                              fixture.engine().state.view),
                                 manifest, payload)),
              blob);
}

}  // namespace
}  // namespace vorn
