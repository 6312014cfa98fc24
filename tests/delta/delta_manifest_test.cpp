#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/sha256.h"
#include "delta/delta_manifest.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

using Json = nlohmann::json;
using Mutation = std::pair<const char*, std::function<void(Json&)>>;

const std::wstring package = L"Пакет обновления повреждён или не подходит этому клиенту.";
const std::wstring unsafe = L"Описание обновления содержит небезопасный путь.";

constexpr std::uint64_t mib512 = 536870912;

std::string hex(char digit) {
    return std::string(64, digit);
}

Json digest(char digit, std::uint64_t bytes) {
    return {{"sha256", hex(digit)}, {"bytes", bytes}};
}

Json payload(char compressed, std::uint64_t compressed_bytes, char raw, std::uint64_t raw_bytes) {
    return {{"path", "payload/" + hex(compressed) + ".zlib"},
            {"compression", "zlib"},
            {"compressed", digest(compressed, compressed_bytes)},
            {"raw", digest(raw, raw_bytes)}};
}

Json append_entry(const std::string& path, std::uint64_t base, std::uint64_t target,
                  const Json& blob) {
    return {
        {"path", path},
        {"operation", "append"},
        {"base", digest('a', base)},
        {"target", digest('b', target)},
        {"patch_header", {{"offset", 4}, {"before_hex", "50434b00"}, {"after_hex", "0a0b0c0d"}}},
        {"payload", blob}};
}

Json full_entry(const std::string& path, std::uint64_t target, const Json& blob) {
    return {{"path", path},
            {"operation", "full"},
            {"base", nullptr},
            {"target", digest('e', target)},
            {"patch_header", nullptr},
            {"payload", blob}};
}

// The profile the rules demand: one element per append entry, carrying its base.
void sync_profile(Json& doc) {
    Json profile = Json::array();
    for (const Json& entry : doc["files"]) {
        if (entry["operation"] == "append") {
            profile.push_back({{"path", entry["path"]},
                               {"sha256", entry["base"]["sha256"]},
                               {"bytes", entry["base"]["bytes"]}});
        }
    }
    doc["required_base_profile"] = profile;
}

Json document(Json files) {
    Json doc = {{"schema", "vorn-client-delta-v1"},
                {"source_package", {{"path", "packages/client-1.2.tar"}, {"sha256", hex('9')}}},
                {"full_base_null_means", "the file is absent before the update"},
                {"files", std::move(files)}};
    sync_profile(doc);
    return doc;
}

// One append (sorting after the full entry by name, to show document order is kept) and one full.
Json valid_document() {
    return document({append_entry("element/data.pck", 100, 150, payload('c', 30, 'd', 50)),
                     full_entry("element/config.ini", 20, payload('f', 10, 'e', 20))});
}

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

DeltaManifest parse(const Json& doc, const std::set<std::string>& allowed = {}) {
    const Bytes text = bytes_of(doc.dump());
    return parse_delta_manifest(text, sha256_bytes(text), allowed);
}

::testing::AssertionResult refused(const Json& doc, const std::string& stage,
                                   const std::wstring& message = package) {
    return test::throws_launcher_error([&] { parse(doc); }, stage, message);
}

// Each mutation of the valid document must be refused with the stage.
void expect_all_refused(const std::vector<Mutation>& mutations, const std::string& stage) {
    for (const auto& [name, mutate] : mutations) {
        Json doc = valid_document();
        mutate(doc);
        EXPECT_TRUE(refused(doc, stage)) << name;
    }
}

TEST(DeltaManifest, ValidDocumentKeepsEntriesInDocumentOrder) {
    const Json doc = valid_document();
    const std::string text = doc.dump();
    const DeltaManifest manifest = parse(doc);
    EXPECT_EQ(manifest.manifest_text, text);
    EXPECT_EQ(manifest.manifest_sha256, sha256_bytes(bytes_of(text)));
    ASSERT_EQ(manifest.entries.size(), 2u);

    const DeltaEntry& append = manifest.entries[0];
    EXPECT_EQ(append.path, "element/data.pck");
    EXPECT_EQ(append.operation, "append");
    EXPECT_EQ(append.base, (FileDigest{hex('a'), 100}));
    EXPECT_EQ(append.target, (FileDigest{hex('b'), 150}));
    ASSERT_TRUE(append.patch_header.has_value());
    EXPECT_EQ(append.patch_header->offset, 4u);
    EXPECT_EQ(append.patch_header->before_hex, "50434b00");
    EXPECT_EQ(append.patch_header->after_hex, "0a0b0c0d");
    EXPECT_EQ(append.payload.path, "payload/" + hex('c') + ".zlib");
    EXPECT_EQ(append.payload.compressed, (FileDigest{hex('c'), 30}));
    EXPECT_EQ(append.payload.raw, (FileDigest{hex('d'), 50}));

    const DeltaEntry& full = manifest.entries[1];
    EXPECT_EQ(full.path, "element/config.ini");
    EXPECT_EQ(full.operation, "full");
    EXPECT_FALSE(full.base.has_value());
    EXPECT_FALSE(full.patch_header.has_value());
    EXPECT_EQ(full.target, (FileDigest{hex('e'), 20}));
    EXPECT_EQ(full.payload.raw, (FileDigest{hex('e'), 20}));

    Json no_header = valid_document();
    no_header["files"][0]["patch_header"] = nullptr;
    EXPECT_FALSE(parse(no_header).entries[0].patch_header.has_value());
}

TEST(DeltaManifest, IntegrityComesBeforeAnyParsing) {
    const Bytes text = bytes_of(valid_document().dump());
    const std::string right = sha256_bytes(text);
    const std::string wrong = sha256_bytes(bytes_of("other"));
    std::string upper = right;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    VORN_EXPECT_ERROR(parse_delta_manifest(text, wrong, {}), "delta_manifest_integrity", package);
    VORN_EXPECT_ERROR(parse_delta_manifest(text, upper, {}), "delta_manifest_integrity", package);
    VORN_EXPECT_ERROR(parse_delta_manifest(text, "", {}), "delta_manifest_integrity", package);

    // Trailing white space keeps the JSON valid, so only the size decides.
    std::string padded = valid_document().dump();
    padded.resize(largest_delta_manifest, ' ');
    const Bytes at_limit = bytes_of(padded);
    EXPECT_EQ(parse_delta_manifest(at_limit, sha256_bytes(at_limit), {}).entries.size(), 2u);
    padded.push_back(' ');
    const Bytes over = bytes_of(padded);
    VORN_EXPECT_ERROR(parse_delta_manifest(over, sha256_bytes(over), {}),
                      "delta_manifest_integrity", package);

    const Bytes broken = bytes_of(R"({"schema": )");
    VORN_EXPECT_ERROR(parse_delta_manifest(broken, sha256_bytes(broken), {}), "delta_schema",
                      L"Описание обновления имеет повреждённый или неподдерживаемый формат.");
}

TEST(DeltaManifest, RefusesWrongKeySetsAndValues) {
    expect_all_refused(
        {{"extra top-level key", [](Json& d) { d["note"] = "x"; }},
         {"missing top-level key", [](Json& d) { d.erase("full_base_null_means"); }},
         {"other schema", [](Json& d) { d["schema"] = "vorn-client-delta-v2"; }},
         {"source_package extra key", [](Json& d) { d["source_package"]["size"] = 1; }},
         {"source_package empty path", [](Json& d) { d["source_package"]["path"] = ""; }},
         {"source_package bad digest", [](Json& d) { d["source_package"]["sha256"] = hex('A'); }},
         {"empty full_base_null_means", [](Json& d) { d["full_base_null_means"] = ""; }},
         {"NUL in a string", [](Json& d) { d["full_base_null_means"] = std::string("a\0b", 3); }},
         {"string over 4096 bytes",
          [](Json& d) { d["full_base_null_means"] = std::string(4097, 'x'); }},
         {"no files", [](Json& d) { d["files"] = Json::array(); }},
         {"files not an array", [](Json& d) { d["files"] = d["files"][0]; }},
         {"513 files", [](Json& d) { d["files"] = Json(513, d["files"][1]); }},
         {"seventh entry key", [](Json& d) { d["files"][0]["comment"] = "x"; }},
         {"digest extra key", [](Json& d) { d["files"][1]["target"]["md5"] = hex('0'); }},
         {"unknown operation", [](Json& d) { d["files"][1]["operation"] = "replace"; }},
         {"payload without compression",
          [](Json& d) { d["files"][1]["payload"].erase("compression"); }},
         {"other compression", [](Json& d) { d["files"][1]["payload"]["compression"] = "gzip"; }},
         {"payload path not its digest",
          [](Json& d) { d["files"][1]["payload"]["path"] = "payload/" + hex('0') + ".zlib"; }},
         {"payload over 512 MiB",
          [](Json& d) { d["files"][1]["payload"]["compressed"]["bytes"] = mib512 + 1; }},
         {"profile not an array", [](Json& d) { d["required_base_profile"] = Json::object(); }}},
        "delta_schema");

    Json long_text = valid_document();
    long_text["full_base_null_means"] = std::string(4096, 'x');
    EXPECT_NO_THROW(parse(long_text));
}

TEST(DeltaManifest, RefusesValuesOfTheWrongType) {
    expect_all_refused(
        {{"float size", [](Json& d) { d["files"][1]["target"]["bytes"] = 20.0; }},
         {"negative size", [](Json& d) { d["files"][1]["target"]["bytes"] = -20; }},
         {"size as text", [](Json& d) { d["files"][1]["target"]["bytes"] = "20"; }},
         {"size over 32 bits", [](Json& d) { d["files"][1]["target"]["bytes"] = 4294967296u; }},
         {"digest as number", [](Json& d) { d["files"][1]["target"]["sha256"] = 7; }},
         {"path as number", [](Json& d) { d["files"][0]["path"] = 12; }},
         {"append base null", [](Json& d) { d["files"][0]["base"] = nullptr; }},
         {"patch header as text", [](Json& d) { d["files"][0]["patch_header"] = "50434b00"; }},
         {"profile size as float",
          [](Json& d) { d["required_base_profile"][0]["bytes"] = 100.0; }}},
        "delta_schema");

    // 512 entries is the limit, not one below it.
    Json many = valid_document();
    for (int i = 0; many["files"].size() < 512; ++i) {
        many["files"].push_back(
            full_entry("element/f" + std::to_string(i), 20, payload('f', 10, 'e', 20)));
    }
    EXPECT_EQ(parse(many).entries.size(), 512u);
}

TEST(DeltaManifest, EntryPathRules) {
    for (const std::string& path :
         std::vector<std::string>{"data/a.pck", "element/", "element/dir/", "element/a\\b.pck",
                                  "Element/a.pck", "element/" + std::string(1016, 'x')}) {
        Json doc = valid_document();
        doc["files"][1]["path"] = path;
        EXPECT_TRUE(refused(doc, "delta_path")) << path;
    }
    for (const char* path : {"element/../config.ini", "element/./config.ini"}) {
        Json doc = valid_document();
        doc["files"][1]["path"] = path;
        EXPECT_TRUE(refused(doc, "unsafe_path", unsafe)) << path;
    }
    for (const std::string& path :
         std::vector<std::string>{"element/a", "element/" + std::string(1015, 'x')}) {
        Json doc = valid_document();
        doc["files"][1]["path"] = path;
        EXPECT_EQ(parse(doc).entries[1].path, path);
    }
}

TEST(DeltaManifest, PathsThatDifferOnlyInCaseCollide) {
    for (const auto& [first, second] : std::vector<std::pair<std::string, std::string>>{
             {"element/a.pck", "element/A.PCK"},
             {"element/Данные.pck", "element/дАННЫЕ.pck"},
             {"element/a.pck", "element/a.pck"}}) {
        Json doc = valid_document();
        doc["files"][0]["path"] = first;
        doc["files"][1]["path"] = second;
        sync_profile(doc);
        EXPECT_TRUE(refused(doc, "delta_collision")) << second;
    }
}

TEST(DeltaManifest, AllowedPathSetRestrictsEntries) {
    const Json doc = valid_document();
    EXPECT_EQ(
        parse(doc, {"element/data.pck", "element/config.ini", "element/x.pck"}).entries.size(), 2u);
    const auto uncovered = [&](const std::set<std::string>& allowed) {
        return test::throws_launcher_error([&] { parse(doc, allowed); }, "delta_uncovered_path",
                                           package);
    };
    EXPECT_TRUE(uncovered({"element/data.pck"}));
    EXPECT_TRUE(uncovered({"element/data.pck", "element/CONFIG.ini"}));
}

TEST(DeltaManifest, EntriesMayShareOnePayloadWithTheSameDigests) {
    Json doc = valid_document();
    doc["files"].push_back(full_entry("element/copy.ini", 20, payload('f', 10, 'e', 20)));
    const DeltaManifest manifest = parse(doc);
    ASSERT_EQ(manifest.entries.size(), 3u);
    EXPECT_EQ(manifest.entries[2].payload.path, manifest.entries[1].payload.path);

    Json other_raw = doc;
    other_raw["files"][2]["payload"]["raw"]["sha256"] = hex('d');
    EXPECT_TRUE(refused(other_raw, "delta_schema"));
    Json other_size = doc;
    other_size["files"][2]["payload"]["compressed"]["bytes"] = 11;
    EXPECT_TRUE(refused(other_size, "delta_schema"));
}

TEST(DeltaManifest, AppendRules) {
    const auto base_bytes = [](std::uint64_t bytes) {
        return [bytes](Json& d) {
            d["files"][0]["base"]["bytes"] = bytes;
            d["files"][0]["target"]["bytes"] = bytes + 50;
            sync_profile(d);
        };
    };
    expect_all_refused(
        {{"raw one short", [](Json& d) { d["files"][0]["payload"]["raw"]["bytes"] = 49; }},
         {"raw one over", [](Json& d) { d["files"][0]["payload"]["raw"]["bytes"] = 51; }},
         {"target below base", [](Json& d) { d["files"][0]["target"]["bytes"] = 90; }},
         {"header offset 3", [](Json& d) { d["files"][0]["patch_header"]["offset"] = 3; }},
         {"header offset 5", [](Json& d) { d["files"][0]["patch_header"]["offset"] = 5; }},
         {"header on a base of 11 bytes", base_bytes(11)},
         {"upper-case before_hex",
          [](Json& d) { d["files"][0]["patch_header"]["before_hex"] = "50434B00"; }},
         {"short after_hex",
          [](Json& d) { d["files"][0]["patch_header"]["after_hex"] = "0a0b0c0"; }},
         {"long before_hex",
          [](Json& d) { d["files"][0]["patch_header"]["before_hex"] = "50434b0000"; }},
         {"header extra key", [](Json& d) { d["files"][0]["patch_header"]["size"] = 4; }}},
        "delta_schema");

    Json twelve = valid_document();
    base_bytes(12)(twelve);
    EXPECT_EQ(parse(twelve).entries[0].base->bytes, 12u);
}

TEST(DeltaManifest, FullRules) {
    expect_all_refused(
        {{"non-null base", [](Json& d) { d["files"][1]["base"] = digest('a', 20); }},
         {"non-null header",
          [](Json& d) { d["files"][1]["patch_header"] = d["files"][0]["patch_header"]; }},
         {"raw not the target size",
          [](Json& d) { d["files"][1]["payload"]["raw"]["bytes"] = 19; }}},
        "delta_schema");
}

TEST(DeltaManifest, ProfileMustListEachAppendBaseOnce) {
    expect_all_refused(
        {{"path listed twice",
          [](Json& d) {
              d["files"].push_back(
                  append_entry("element/more.pck", 40, 90, payload('c', 30, 'd', 50)));
              sync_profile(d);
              d["required_base_profile"][1] = d["required_base_profile"][0];
          }},
         {"append base omitted", [](Json& d) { d["required_base_profile"] = Json::array(); }},
         {"lists the full entry",
          [](Json& d) { d["required_base_profile"][0]["path"] = "element/config.ini"; }},
         {"other base size", [](Json& d) { d["required_base_profile"][0]["bytes"] = 101; }},
         {"other base digest", [](Json& d) { d["required_base_profile"][0]["sha256"] = hex('b'); }},
         {"extra key", [](Json& d) { d["required_base_profile"][0]["operation"] = "append"; }}},
        "delta_schema");
}

TEST(DeltaManifest, TargetSumIsBoundedBy16GiB) {
    // Four appends just under 4 GiB each share one payload; the full entry fills the rest.
    const std::uint64_t largest = 4294967295;
    const auto build = [&](std::uint64_t last) {
        Json files = Json::array();
        for (int i = 0; i < 4; ++i) {
            files.push_back(append_entry("element/big" + std::to_string(i) + ".pck", largest - 50,
                                         largest, payload('c', 30, 'd', 50)));
        }
        files.push_back(full_entry("element/last.bin", last, payload('f', 10, 'e', last)));
        return document(files);
    };
    EXPECT_EQ(parse(build(4)).entries.size(), 5u);  // exactly 17,179,869,184
    EXPECT_TRUE(refused(build(5), "delta_schema"));
}

TEST(DeltaManifest, DistinctPayloadSumsAreBoundedBy1GiB) {
    // Two entries share the first blob: counted once, the totals are exactly 1 GiB.
    Json doc = document({full_entry("element/a.bin", mib512, payload('1', mib512, '2', mib512)),
                         full_entry("element/b.bin", mib512, payload('1', mib512, '2', mib512)),
                         full_entry("element/c.bin", mib512, payload('3', mib512, '4', mib512))});
    EXPECT_EQ(parse(doc).entries.size(), 3u);

    Json compressed_over = doc;
    compressed_over["files"].push_back(full_entry("element/d.bin", 0, payload('5', 1, '6', 0)));
    EXPECT_TRUE(refused(compressed_over, "delta_schema"));
    Json raw_over = doc;
    raw_over["files"].push_back(full_entry("element/d.bin", 1, payload('5', 0, '6', 1)));
    EXPECT_TRUE(refused(raw_over, "delta_schema"));
}

}  // namespace
}  // namespace vorn
