#include <gtest/gtest.h>

#include "core/sha256.h"
#include "engine/manifest/manifest_freshness.h"
#include "engine/manifest/manifest_parse.h"
#include "engine_fixture.h"
#include "model/manifest.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

using nlohmann::json;

const std::string digest_a = sha256_string("a");
const std::string digest_b = sha256_string("b");

json one_file(json entry = {{"path", "element/a.pck"}, {"sha256", digest_a}, {"size", 1}}) {
    return {{"version", "1"}, {"files", json::array({entry})}};
}

struct Refusal {
    const char* what;
    std::string body;
    const char* stage;
    const wchar_t* message;
};

TEST(Manifest, RefusesEveryFaultWithItsStageAndMessage) {
    test::EngineFixture fixture;
    const wchar_t* damaged = L"Описание обновления имеет повреждённый или неподдерживаемый формат.";
    const wchar_t* count = L"Неверное число файлов обновления.";
    const wchar_t* version = L"Неверная версия обновления.";
    const wchar_t* bad_path = L"В описании обновления есть повторяющийся или недопустимый путь.";
    const wchar_t* bad_size = L"В описании обновления указан неверный размер файла.";
    const wchar_t* too_big = L"Файл обновления превышает допустимый размер.";
    const wchar_t* server = L"Сервер вернул неверное описание обновлений.";
    const wchar_t* descriptor = L"Неверное описание дельты обновления.";
    const wchar_t* descriptor_value = L"Неверный размер или контрольная сумма дельты.";
    auto with = [](json document, const json::json_pointer& at, json value) {
        document[at] = std::move(value);
        return document.dump();
    };
    auto without = [](json document, const std::string& key) {
        document.erase(key);
        return document.dump();
    };
    auto entry_without = [](const std::string& key) {
        json document = one_file();
        document["files"][0].erase(key);
        return document.dump();
    };
    const json base = one_file();
    const json good_delta = {{"url", "delta/index.json"}, {"sha256", digest_b}, {"size", 10}};
    auto delta = [&](const std::string& key, json value) {
        json changed = good_delta;
        changed[key] = std::move(value);
        return changed;
    };
    std::string entries;
    for (int i = 0; i < 100000; ++i) {
        entries += "0,";
    }
    json two = one_file();
    two["files"].push_back({{"path", "ELEMENT\\A.PCK"}, {"sha256", digest_b}, {"size", 1}});

    const std::vector<Refusal> refusals = {
        {"zero byte", std::string("{\"files\":[]}\0", 13), "manifest_parse",
         L"Описание обновления содержит недопустимый нулевой байт."},
        {"syntax", "{\"files\":", "manifest_parse", damaged},
        {"key twice", R"({"files":[],"files":[]})", "manifest_parse", damaged},
        {"too deep", std::string(65, '[') + std::string(65, ']'), "manifest_parse", damaged},
        {"not an object", "[]", "manifest_limit", count},
        {"no files", R"({"version":"1"})", "manifest_limit", count},
        {"files not an array", R"({"version":"1","files":{}})", "manifest_limit", count},
        {"no entries", R"({"version":"1","files":[]})", "manifest_limit", count},
        {"too many entries", R"({"version":"1","files":[)" + entries + "0]}", "manifest_limit",
         count},
        {"fraction version", with(base, "/version"_json_pointer, 1.5), "manifest_parse", version},
        {"empty version", with(base, "/version"_json_pointer, ""), "manifest_parse", version},
        {"long version", with(base, "/version"_json_pointer, std::string(32, '1')),
         "manifest_parse", version},
        {"version with a space", with(base, "/version"_json_pointer, "1 2"), "manifest_parse",
         version},
        {"no version", without(base, "version"), "manifest_parse", server},
        {"other executable", with(base, "/executable"_json_pointer, "element/other.exe"),
         "manifest_executable", L"Описание обновления содержит неизвестный файл запуска."},
        {"delta not an object", with(base, "/delta"_json_pointer, "x"), "delta_descriptor",
         descriptor},
        {"delta extra key", with(base, "/delta"_json_pointer, delta("x", 1)), "delta_descriptor",
         descriptor},
        {"delta upper-case digest",
         with(base, "/delta"_json_pointer, delta("sha256", "A" + digest_b.substr(1))),
         "delta_descriptor", descriptor_value},
        {"delta size 0", with(base, "/delta"_json_pointer, delta("size", 0)), "delta_descriptor",
         descriptor_value},
        {"delta too big", with(base, "/delta"_json_pointer, delta("size", 5242881)),
         "manifest_limit", too_big},
        {"delta query", with(base, "/delta"_json_pointer, delta("url", "a?b")), "delta_url",
         L"В описании дельты указан недопустимый адрес."},
        {"outside element", with(base, "/files/0/path"_json_pointer, "elements/a.pck"),
         "manifest_path", bad_path},
        {"element alone", with(base, "/files/0/path"_json_pointer, "element"), "manifest_path",
         bad_path},
        {"duplicate in another case", two.dump(), "manifest_path", bad_path},
        {"short digest", with(base, "/files/0/sha256"_json_pointer, digest_a.substr(1)),
         "manifest_sha", L"В описании обновления неверная контрольная сумма."},
        {"size over 512 MiB", with(base, "/files/0/size"_json_pointer, 536870913), "manifest_limit",
         too_big},
        {"negative size", with(base, "/files/0/size"_json_pointer, -1), "manifest_parse", bad_size},
        {"fraction size", with(base, "/files/0/size"_json_pointer, 1.0), "manifest_parse",
         bad_size},
        {"no size", entry_without("size"), "manifest_parse",
         L"В описании обновления отсутствует размер файла."},
        {"compressed size over 512 MiB",
         with(base, "/files/0/compressedSize"_json_pointer, 536870913), "manifest_limit", too_big},
        {"no path", entry_without("path"), "manifest_parse", server},
        {"entry not an object", with(base, "/files/0"_json_pointer, 5), "manifest_parse", server},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        const auto error = test::capture_error([&] {
            parse_manifest(fixture.engine().client, fixture.engine().services,
                           test::response_of(refusal.body));
        });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->stage, refusal.stage) << test::describe(*error);
        EXPECT_EQ(error->message, refusal.message) << test::describe(*error);
        EXPECT_EQ(error->event, "manifest_failed");
        EXPECT_EQ(error->bytes, refusal.body.size());
    }

    HttpResponse no_content = test::response_of(base.dump());
    no_content.status = 204;
    const auto error = test::capture_error(
        [&] { parse_manifest(fixture.engine().client, fixture.engine().services, no_content); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "manifest_http");
    EXPECT_EQ(error->http_status, 204u);
}

TEST(Manifest, AcceptsTheLenientForms) {
    test::EngineFixture fixture;
    json document = one_file({{"path", "element/A.pck"},
                              {"sha256", "AB" + digest_a.substr(2)},
                              {"size", 536870913},
                              {"extra", true}});
    document["version"] = 20261026;
    document["executable"] = "Element\\ElementClient.EXE";
    document["delta"] = {{"url", "delta/index.json"}, {"sha256", digest_b}, {"size", 10}};
    const std::string body = document.dump();
    const Manifest& manifest = parse_manifest(fixture.engine().client, fixture.engine().services,
                                              test::response_of(body, "\"tag\""));

    EXPECT_EQ(manifest.version, "20261026");
    EXPECT_EQ(manifest.executable, "Element\\ElementClient.EXE");
    ASSERT_EQ(manifest.files.size(), 1u);
    EXPECT_EQ(manifest.files[0].path, "element/A.pck");
    EXPECT_EQ(manifest.files[0].sha256, "ab" + digest_a.substr(2));
    EXPECT_EQ(manifest.files[0].size, 536870913u);  // allowed with a delta package
    EXPECT_EQ(manifest.files[0].compressed_size, 0u);
    ASSERT_TRUE(manifest.delta);
    EXPECT_EQ(manifest.delta->size, 10u);
    EXPECT_EQ(manifest.etag, "\"tag\"");
    EXPECT_EQ(manifest.content_length, body.size());
}

TEST(Manifest, KeyIgnoresOrderAndCaseAndGuildIconLists) {
    test::EngineFixture fixture;
    auto key_of = [&](const std::string& body) {
        return parse_manifest(fixture.engine().client, fixture.engine().services,
                              test::response_of(body))
            .key;
    };
    const std::string plain = R"({"version":"7","files":[{"path":"element/a.pck","sha256":")" +
                              digest_a + R"(","size":1}]})";
    const std::string reordered = R"({"files":[{"size":1,"sha256":")" + digest_a +
                                  R"(","path":"Element\\A.PCK"}],"version":"7"})";
    json with_lists = json::parse(plain);
    for (const char* list : {"element/userdata/usericon/iconlist_guild.txt",
                             "ELEMENT\\userdata\\usericon\\ICONLIST_GUILD.PNG"}) {
        with_lists["files"].push_back({{"path", list}, {"sha256", digest_b}, {"size", 5}});
    }
    json other_version = json::parse(plain);
    other_version["version"] = "8";

    const std::string key = key_of(plain);
    EXPECT_EQ(key.size(), 64u);
    EXPECT_EQ(key_of(reordered), key);
    EXPECT_EQ(key_of(with_lists.dump()), key);
    EXPECT_EQ(parse_manifest(fixture.engine().client, fixture.engine().services,
                             test::response_of(with_lists.dump()))
                  .files.size(),
              1u);
    EXPECT_NE(key_of(other_version.dump()), key);
}

TEST(Manifest, ClientPathsOfTheLongestLengthOnly) {
    test::EngineFixture fixture;
    const std::size_t prefix = (fixture.root() / L"element\\").native().size();
    ASSERT_LT(prefix, 200u);
    auto with_path_of = [&](std::size_t total) {
        const std::string name = "element/" + std::string(total - prefix, 'x');
        return one_file({{"path", name}, {"sha256", digest_a}, {"size", 1}}).dump();
    };
    EXPECT_NO_THROW(parse_manifest(fixture.engine().client, fixture.engine().services,
                                   test::response_of(with_path_of(247))));
    const auto error = test::capture_error([&] {
        parse_manifest(fixture.engine().client, fixture.engine().services,
                       test::response_of(with_path_of(248)));
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "local_path_length");
    EXPECT_EQ(error->win32, 206u);
}

TEST(Manifest, Addresses) {
    EXPECT_EQ(
        blob_url(L"https://u.example/upd", digest_a),
        L"https://u.example/upd/ca/" + std::wstring(digest_a.begin(), digest_a.end()) + L".dat");
    EXPECT_EQ(blob_url(L"https://u.example/upd/", digest_a),
              blob_url(L"https://u.example/upd", digest_a));

    EXPECT_EQ(compressed_manifest_url(L"https://h/upd/manifest.json?x=1"),
              L"https://h/upd/manifest.json.gz?x=1");
    EXPECT_EQ(compressed_manifest_url(L"https://h/upd/manifest.json"),
              L"https://h/upd/manifest.json.gz");
    EXPECT_FALSE(compressed_manifest_url(L"https://h/upd/manifest.json.gz"));
    EXPECT_FALSE(compressed_manifest_url(L"https://h/upd/manifest.json#a"));
    EXPECT_FALSE(compressed_manifest_url(L""));
}

TEST(Manifest, StrongEtagsAndHeadLengths) {
    EXPECT_TRUE(is_strong_etag("\"a\""));
    EXPECT_TRUE(is_strong_etag("\"\""));
    EXPECT_FALSE(is_strong_etag("W/\"a\""));
    EXPECT_FALSE(is_strong_etag("\"a b\""));
    EXPECT_FALSE(is_strong_etag("\"a\"b\""));
    EXPECT_FALSE(is_strong_etag("\"" + std::string(125, 'a') + "\""));
    EXPECT_TRUE(is_strong_etag("\"" + std::string(124, 'a') + "\""));

    auto length = [](const std::string& text) {
        HttpResponse response;
        response.headers["content-length"] = text;
        return parse_content_length(response);
    };
    EXPECT_EQ(length("16777216"), 16777216u);
    const wchar_t* unconfirmed =
        L"Не удалось подтвердить актуальность сжатого описания обновлений.";
    VORN_EXPECT_ERROR(length(""), "manifest_gzip_metadata", unconfirmed);
    VORN_EXPECT_ERROR(length(std::string(21, '1')), "manifest_gzip_metadata", unconfirmed);
    VORN_EXPECT_ERROR(length("16777217"), "manifest_gzip_metadata",
                      L"Неверный размер описания обновлений.");
    VORN_EXPECT_ERROR(length(std::string(20, '9')), "manifest_gzip_metadata",
                      L"Неверный размер описания обновлений.");
    VORN_EXPECT_ERROR(length("12a"), "manifest_gzip_metadata",
                      L"Неверный размер описания обновлений.");
    VORN_EXPECT_ERROR(length("0"), "manifest_gzip_metadata", L"Описание обновлений пусто.");
}

}  // namespace
}  // namespace vorn
