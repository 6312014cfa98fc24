// A split archive (.pck of exactly 0x7FFFFF00 bytes and its .pkx) brought to the next
// version by a package that appends to its .pkx and patches the .pck's size field. The .pck
// is sparse on the Linux side, but the launcher reads every one of its bytes: this is the
// slow test of the delta path.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/hex.h"
#include "core/sha256.h"
#include "engine/actions/engine_actions.h"
#include "engine_fixture.h"
#include "guild_set.h"
#include "support/compression.h"
#include "support/pck_keys.h"
#include "support/pck_writer.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

json digest(const std::string& sha256, std::uint64_t bytes) {
    return {{"sha256", sha256}, {"bytes", bytes}};
}

std::string hex_of(const std::string& bytes) {
    return to_hex(ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

json append_entry(const std::string& path, const json& base, const json& target,
                  const std::string& raw, const std::optional<json>& header) {
    const std::string stored = test::compressed(raw, false);
    return {{"path", path},
            {"operation", "append"},
            {"base", base},
            {"target", target},
            {"patch_header", header ? *header : json(nullptr)},
            {"payload",
             {{"path", "payload/" + sha256_string(stored) + ".zlib"},
              {"compression", "zlib"},
              {"compressed", digest(sha256_string(stored), stored.size())},
              {"raw", digest(sha256_string(raw), raw.size())}}}};
}

TEST(SplitArchive, APackageAppendsToTheContinuationAndPatchesTheSize) {
    VORN_REQUIRE_LOOPBACK(server);
    test::EngineFixture fixture(&server);
    // The base: one member in the .pck, one in the .pkx; the target adds a member after the
    // base's end, so the whole tail lands in the .pkx.
    test::PckWriterArchive base;
    base.keys = test::writer_keys();
    base.entries = {{.name = "models\\first.ski", .content = "in the pck"},
                    {.name = "models\\second.ski",
                     .content = "in the pkx",
                     .data_offset = test::pck_part_size + 64}};
    const test::PckImage base_image = test::build_pck(base);
    test::PckWriterArchive target = base;
    target.entries[0].data_offset = base_image.data_offsets[0];
    target.entries[1].data_offset = base_image.data_offsets[1];
    target.entries.push_back({.name = "models\\third.ski", .content = "new in the tail"});
    target.index_offset = base_image.size + 15;
    const test::PckImage target_image = test::build_pck(target);
    const std::string tail =
        target_image.bytes(base_image.size, target_image.size - base_image.size);
    ASSERT_LT(target_image.data_offsets[2] + 15, base_image.size + tail.size());

    const fs::path pck = fixture.root() / L"element" / L"models.pck";
    const fs::path pkx = fixture.root() / L"element" / L"models.pkx";
    fixture.install({{"element/other.dat", "other"}});
    test::write_pck_files(base_image, pck, pkx);
    const std::string base_pkx = test::read_raw_file(pkx);
    const std::string base_pck_sha = sha256_file(pck);
    // The target .pck: the same bytes with the logical size at offset 4.
    const fs::path target_pck = fixture.cache_dir() / L"target.pck";
    test::write_sparse(
        target_pck, 0, test::pck_part_size,
        {{0, target_image.bytes(0, 12)}, {base_image.data_offsets[0], "in the pck"}});
    const std::string target_pck_sha = sha256_file(target_pck);
    fs::remove(target_pck);
    const std::string target_pkx = base_pkx + tail;

    const json header = {{"offset", 4},
                         {"before_hex", hex_of(base_image.bytes(4, 4))},
                         {"after_hex", hex_of(target_image.bytes(4, 4))}};
    const json pck_entry =
        append_entry("element/models.pck", digest(base_pck_sha, test::pck_part_size),
                     digest(target_pck_sha, test::pck_part_size), "", header);
    const json pkx_entry =
        append_entry("element/models.pkx", digest(sha256_string(base_pkx), base_pkx.size()),
                     digest(sha256_string(target_pkx), target_pkx.size()), tail, std::nullopt);
    json profile = json::array();
    for (const json& entry : {pck_entry, pkx_entry}) {
        json base_digest = entry["base"];
        base_digest["path"] = entry["path"];
        profile.push_back(base_digest);
        const std::string stored =
            test::compressed(entry["path"] == "element/models.pck" ? std::string() : tail, false);
        test::write_raw_file(
            fixture.feed_dir() / L"blobs" /
                fs::path(entry["payload"]["path"].get<std::string>()).make_preferred(),
            stored);
    }
    const std::string package = json{
        {"schema", "vorn-client-delta-v1"},
        {"source_package", {{"path", "p.tar"}, {"sha256", std::string(64, '9')}}},
        {"full_base_null_means", "absent"},
        {"files", {pck_entry, pkx_entry}},
        {"required_base_profile",
         profile}}.dump();
    test::write_raw_file(fixture.feed_dir() / L"blobs" / L"delta.json", package);
    json manifest = test::manifest_of({{"element/other.dat", "other"}});
    manifest["files"].push_back({{"path", "element/models.pck"},
                                 {"sha256", target_pck_sha},
                                 {"size", test::pck_part_size}});
    manifest["files"].push_back({{"path", "element/models.pkx"},
                                 {"sha256", sha256_string(target_pkx)},
                                 {"size", target_pkx.size()}});
    manifest["delta"] = {
        {"url", "delta.json"}, {"sha256", sha256_string(package)}, {"size", package.size()}};
    fixture.serve_blob(sha256_string("other"), "other");
    fixture.publish(manifest);
    fixture.write("element/surfaces.pck", test::surfaces_archive());
    fixture.serve_guild("klan/", "1", test::guild_list, test::guild_png());

    const UiSnapshot view = run_engine_action(fixture.engine(), Action::update);
    EXPECT_EQ(view.title, L"Клиент готов к игре");
    EXPECT_EQ(view.detail, L"Обновление установлено и проверено.");
    EXPECT_EQ(test::read_raw_file(pkx), target_pkx);
    EXPECT_EQ(sha256_file(pck), target_pck_sha);
    EXPECT_EQ(fs::file_size(pck), test::pck_part_size);
    EXPECT_FALSE(fs::exists(fixture.root() / L".vorn-delta-journal-v1.json"));
}

}  // namespace
}  // namespace vorn
