#include <gtest/gtest.h>

#include <cstring>

#include "core/client_key.h"
#include "core/file_probes.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "core/text.h"
#include "engine/client/client_place.h"
#include "engine/client/repair_state.h"
#include "engine/manifest/installed_receipt.h"
#include "engine/manifest/manifest_parse.h"
#include "engine_fixture.h"
#include "model/endpoints.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::vector<test::ClientFile> files = {{"element/a.pck", "alpha"}};

class Receipt : public ::testing::Test {
  protected:
    Receipt() {
        fixture.install(files);
        manifest = parse_manifest(fixture.engine().client, fixture.engine().services,
                                  test::response_of(test::manifest_of(files).dump()));
    }
    InstalledReceipt read() { return read_installed_receipt(fixture.engine().client); }
    test::Legacy legacy() { return test::legacy_for(fixture.root()); }
    json written() { return read_json_file(fixture.engine().client.receipt_path, largest_receipt); }
    // Writes the document back with a checksum that matches it.
    void rewrite_sealed(json document) {
        document.erase("checksum");
        document["checksum"] = sha256_string(compact_json(document));
        write_json_file(fixture.engine().client.receipt_path, document);
    }

    test::EngineFixture fixture;
    Manifest manifest;
};

TEST_F(Receipt, WrittenReceiptReadsBackAndClearsTheMarkers) {
    UpdateEngine& engine = fixture.engine();
    mark_repair_required(engine.client, engine.state.view);
    test::write_raw_file(fixture.root() / legacy_marker_name, "x");
    EXPECT_EQ(test::read_raw_file(engine.client.marker_path), "Vornell repair required v1\r\n");
    EXPECT_TRUE(is_repair_required(engine.client));

    write_installed_receipt(engine.client, engine.state.view, manifest);
    const InstalledReceipt receipt = read();
    EXPECT_TRUE(receipt.valid);
    EXPECT_FALSE(receipt.legacy);
    EXPECT_EQ(receipt.manifest_key, manifest.key);
    EXPECT_EQ(receipt.version, "1");
    EXPECT_EQ(receipt.etag, "\"e1\"");
    EXPECT_EQ(receipt.content_length, manifest.content_length);
    EXPECT_TRUE(engine.state.view.clean.load());
    EXPECT_EQ(engine.state.view.snapshot.client_version, "1");
    EXPECT_FALSE(file_exists(engine.client.marker_path));
    EXPECT_FALSE(file_exists(fixture.root() / legacy_marker_name));
    EXPECT_FALSE(is_repair_required(engine.client));

    const std::string text = test::read_raw_file(engine.client.receipt_path);
    EXPECT_TRUE(text.starts_with("{\n  \"checksum\": \"")) << text;
    EXPECT_TRUE(text.ends_with("}\n"));
    EXPECT_EQ(written()["root"], client_key(fixture.root()));
    EXPECT_EQ(written()["schema"], 2);
}

TEST_F(Receipt, AnyEditMakesItInvalid) {
    write_installed_receipt(fixture.engine().client, fixture.engine().state.view, manifest);
    const json original = written();
    for (const auto& [key, value] : original.items()) {
        SCOPED_TRACE(key);
        json edited = original;
        edited[key] = value.is_string() ? json(value.get<std::string>() + "0") : json(7);
        write_json_file(fixture.engine().client.receipt_path, edited);
        EXPECT_FALSE(read().valid);
    }
    for (const json& schema : {json(1), json("2"), json(2.0)}) {
        json edited = original;
        edited["schema"] = schema;
        rewrite_sealed(edited);
        EXPECT_FALSE(read().valid) << schema;
    }
    json foreign = original;
    foreign["root"] = client_key(fixture.root() / L"other");
    rewrite_sealed(foreign);
    EXPECT_FALSE(read().valid);

    rewrite_sealed(original);
    EXPECT_TRUE(read().valid);
    fixture.engine().client.feed =
        feed_digest(fixture.engine().services.config.endpoints.manifest_url + L"?other");
    EXPECT_FALSE(read().valid);
}

TEST_F(Receipt, DamagedCurrentReceiptHidesAValidLegacyOne) {
    const fs::path cache_legacy = fixture.cache_dir() / L"installed-v1.bin";
    test::write_raw_file(cache_legacy, test::legacy_bytes(legacy()));
    EXPECT_TRUE(read().valid);
    EXPECT_TRUE(read().legacy);

    test::write_raw_file(fixture.engine().client.receipt_path, "{damaged");
    EXPECT_FALSE(read().valid);
}

TEST_F(Receipt, LegacyReceiptsInBothPlacesAndTheirRules) {
    const fs::path in_cache = fixture.cache_dir() / L"installed-v1.bin";
    const fs::path in_root = fixture.root() / L".vornell-installed-v1.bin";
    test::write_raw_file(in_root, test::legacy_bytes(legacy()));
    InstalledReceipt receipt = read();
    ASSERT_TRUE(receipt.valid);
    EXPECT_TRUE(receipt.legacy);
    EXPECT_EQ(receipt.version, "3");
    EXPECT_EQ(receipt.etag, "\"e\"");
    EXPECT_EQ(receipt.content_length, 100u);

    // An invalid receipt in the service folder does not hide the one in the root.
    test::Legacy other_root = legacy();
    other_root.root = client_key(fixture.root() / L"x");
    test::write_raw_file(in_cache, test::legacy_bytes(other_root));
    EXPECT_TRUE(read().valid);
    fs::remove(in_root);

    struct Case {
        const char* what;
        test::Legacy legacy;
        bool valid;
    };
    test::Legacy test_feed = legacy();
    test_feed.feed = feed_digest(fixture.engine().services.config.endpoints.manifest_url);
    test::Legacy empty_length = legacy();
    empty_length.length = 0;
    test::Legacy empty_both = empty_length;
    empty_both.etag.clear();
    test::Legacy weak = legacy();
    weak.etag = L"W/\"e\"";
    test::Legacy huge = legacy();
    huge.length = 8388609;
    test::Legacy no_version = legacy();
    no_version.version.clear();
    const std::vector<Case> cases = {
        {"production feed", legacy(), true},
        {"feed of the configured test address", test_feed, false},
        {"length 0 with an etag", empty_length, false},
        {"length 0 and no etag", empty_both, true},
        {"weak etag", weak, false},
        {"length over 8 MiB", huge, false},
        {"no version", no_version, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::write_raw_file(in_cache, test::legacy_bytes(c.legacy));
        EXPECT_EQ(read().valid, c.valid);
    }
    std::string damaged = test::legacy_bytes(legacy());
    damaged[300] ^= 1;
    test::write_raw_file(in_cache, damaged);
    EXPECT_FALSE(read().valid);
    test::write_raw_file(in_cache, test::legacy_bytes(legacy()) + "x");
    EXPECT_FALSE(read().valid);
}

TEST_F(Receipt, PendingRepairFailsTheWriteAfterTheMarkersWentAway) {
    UpdateEngine& engine = fixture.engine();
    mark_repair_required(engine.client, engine.state.view);
    test::write_raw_file(engine.client.transaction_path, "{}");
    VORN_EXPECT_ERROR(write_installed_receipt(engine.client, engine.state.view, manifest),
                      "recovery_required", L"Клиент требует завершения восстановления.");
    EXPECT_FALSE(file_exists(engine.client.marker_path));
    EXPECT_FALSE(engine.state.view.clean.load());
    EXPECT_TRUE(is_update_interrupted(engine.client));

    fs::remove(engine.client.transaction_path);
    test::write_raw_file(fixture.root() / L".vorn-delta-journal-v1.json", "{}");
    EXPECT_TRUE(is_repair_required(engine.client));
    EXPECT_TRUE(is_update_interrupted(engine.client));
    EXPECT_NO_THROW(remove_file_if_present(engine.client.marker_path));  // already absent
}

}  // namespace
}  // namespace vorn
