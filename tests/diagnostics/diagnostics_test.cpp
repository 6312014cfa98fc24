#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "build_info.h"
#include "core/json_io.h"
#include "core/sha256.h"
#include "diagnostics/diagnostic_report.h"
#include "diagnostics/diagnostics_service.h"
#include "net/winhttp_transport.h"
#include "support/launcher_error_assert.h"
#include "support/loopback_control.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using nlohmann::json;
using test::names_in;
using test::read_raw_file;
using test::ScopedTempDir;
using test::write_raw_file;

const std::string id_a(32, 'a');

json attempt_record(int number, const std::string& stage = "http_status") {
    return {{"stage", stage},        {"win32", 0},
            {"http_status", 503},    {"attempt", number},
            {"bytes", 100 * number}, {"expected_bytes", 900},
            {"elapsed_ms", 40},      {"file_count", 0},
            {"parse_ok", false},     {"content_encoding", "identity"}};
}

LauncherError failed_fetch() {
    LauncherError error("http_status", L"Сервер обновлений вернул ошибку HTTP.", 0, 503);
    error.attempts = json::array({attempt_record(1)});
    return error;
}

// Request bodies come back from the loopback server as base64.
std::string from_base64(const std::string& text) {
    static const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        const auto digit = digits.find(c);
        if (digit == std::string::npos) {
            continue;  // '=' padding
        }
        value = (value << 6) | static_cast<unsigned>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((value >> bits) & 0xff));
        }
    }
    return out;
}

json ack(const std::string& id, int status = 202) {
    return {{"status", status}, {"body_text", json{{"report_id", id}}.dump()}};
}

std::vector<std::wstring> queued(const DiagnosticsService& service) {
    return names_in(service.queue_dir());
}

std::wstring file_of(const std::string& id) {
    return std::wstring(id.begin(), id.end()) + L".json";
}

// The report ids the server received, in order.
std::vector<std::string> sent_ids(const json& records) {
    std::vector<std::string> ids;
    for (const json& record : records) {
        ids.push_back(json::parse(from_base64(record["body_b64"]))["report_id"]);
    }
    return ids;
}

class Diagnostics : public ::testing::Test {
  protected:
    DiagnosticsService make_service(const std::wstring& report, const std::wstring& fallback) {
        LauncherConfig config;
        config.cache_dir = cache.path().wstring();
        config.local_test = true;
        config.endpoints.report_url = report;
        config.endpoints.report_fallback_url = fallback;
        return DiagnosticsService(config, std::make_shared<WinHttpTransport>());
    }
    DiagnosticsService offline() { return make_service(L"http://127.0.0.1:9/r", L""); }

    ScopedTempDir cache;
};

TEST(DiagnosticReport, KeepsTheFirstThreeRecordedAttemptsAndNamesStrangeStagesUnknown) {
    LauncherError error = failed_fetch();
    error.attempts =
        json::array({attempt_record(1, "not a stage"), attempt_record(2, "delta_apply_block"),
                     attempt_record(3), attempt_record(4)});
    const json report = build_report(error, id_a, "clean");
    ASSERT_EQ(report["attempts"].size(), 3u);
    EXPECT_EQ(report["attempts"][0]["stage"], "unknown");
    EXPECT_EQ(report["attempts"][1]["stage"], "delta_apply_block");
    EXPECT_EQ(report["attempts"][2], attempt_record(3));
}

TEST(DiagnosticReport, WithoutAttemptsTheErrorsOwnFieldsMakeAttemptOne) {
    LauncherError error("no such stage", L"x", 12002, 416);
    error.bytes = 7;
    error.expected_bytes = 9;
    error.elapsed_ms = 1500;
    error.file_count = 12;
    error.parse_ok = true;
    error.content_encoding = "gzip";
    const json expected = {{"stage", "unknown"}, {"win32", 12002},
                           {"http_status", 416}, {"attempt", 1},
                           {"bytes", 7},         {"expected_bytes", 9},
                           {"elapsed_ms", 1500}, {"file_count", 12},
                           {"parse_ok", true},   {"content_encoding", "gzip"}};
    EXPECT_EQ(build_report(error, id_a, "clean")["attempts"], json::array({expected}));
    error.attempts = nullptr;  // not an array: the same single record
    EXPECT_EQ(build_report(error, id_a, "clean")["attempts"], json::array({expected}));
}

TEST(DiagnosticReport, EventAndClientStateUseTheFixedWords) {
    LauncherError error = failed_fetch();
    error.event = "manifest_failed";
    const json report = build_report(error, id_a, "dirty");
    EXPECT_EQ(report["event"], "manifest_failed");
    EXPECT_EQ(report["client_state"], "dirty");
    EXPECT_EQ(build_report(error, id_a, "clean")["client_state"], "clean");
    for (const char* event : {"pending_retry", "update_failed", "Manifest_failed", ""}) {
        error.event = event;
        EXPECT_EQ(build_report(error, id_a, "clean")["event"], "update_failed") << event;
    }
    for (const char* state : {"Clean", "", "unverified", "broken"}) {
        EXPECT_EQ(build_report(error, id_a, state)["client_state"], "unverified") << state;
    }
}

TEST(DiagnosticReport, StoredReportRefusals) {
    const json good = build_report(failed_fetch(), id_a, "clean");
    EXPECT_NO_THROW(validate_report(good, true));
    auto refused = [&](const std::function<void(json&)>& change, const wchar_t* text,
                       bool stored = true) {
        json report = good;
        change(report);
        return test::throws_launcher_error([&] { validate_report(report, stored); },
                                           "diagnostic_report", text);
    };
    EXPECT_TRUE(
        refused([](json& r) { r["path"] = "C:/Games"; }, L"unexpected diagnostic report field"));
    EXPECT_TRUE(refused([](json& r) { r["schema"] = "vornell.launcher.diagnostics.v2"; },
                        L"diagnostic schema"));
    EXPECT_TRUE(
        refused([](json& r) { r["report_id"] = std::string(32, 'A'); }, L"diagnostic identity"));
    EXPECT_TRUE(
        refused([](json& r) { r["report_id"] = std::string(31, 'a'); }, L"diagnostic identity"));
    EXPECT_TRUE(refused([](json& r) { r["build"] = "2026.10.26-beta"; }, L"diagnostic build"));
    EXPECT_TRUE(refused([](json& r) { r["build"] = std::string(33, '1'); }, L"diagnostic build"));
    EXPECT_TRUE(refused([](json& r) { r["event"] = "pending_retry"; }, L"diagnostic event", false));
    json retry = good;
    retry["event"] = "pending_retry";
    EXPECT_NO_THROW(validate_report(retry, true));
    EXPECT_TRUE(
        refused([](json& r) { r["attempts"] = json::array(); }, L"diagnostic attempt count"));
    EXPECT_TRUE(refused(
        [](json& r) {
            r["attempts"] = json::array(
                {attempt_record(1), attempt_record(2), attempt_record(3), attempt_record(4)});
        },
        L"diagnostic attempt count"));
    EXPECT_TRUE(refused([](json& r) { r["attempts"][0]["path"] = "a.pck"; },
                        L"unexpected diagnostic field"));
    EXPECT_TRUE(refused([](json& r) { r["attempts"][0]["stage"] = "made_up"; },
                        L"unknown diagnostic code"));
}

TEST_F(Diagnostics, CreateReportWritesTheLastReportAndItsQueueRecord) {
    DiagnosticsService service = offline();
    const std::string id = service.create_report(failed_fetch(), Action::update, "clean");
    ASSERT_EQ(id.size(), 32u);
    const json last = json::parse(read_raw_file(service.last_report_path()));
    EXPECT_EQ(last.size(), 6u);
    EXPECT_EQ(last["schema"], report_schema);
    EXPECT_EQ(last["build"], launcher_build);
    EXPECT_EQ(last["report_id"], id);
    EXPECT_EQ(service.last_report_path().filename(), L"diagnostics-last-v1.json");

    ASSERT_EQ(queued(service), std::vector<std::wstring>{file_of(id)});
    const json record = json::parse(read_raw_file(service.queue_dir() / file_of(id)));
    EXPECT_EQ(record.size(), 2u);
    EXPECT_EQ(record["report"], last);
    EXPECT_EQ(record["checksum"], sha256_string(compact_json(last)));

    // A recorded attempt carrying a field outside the vocabulary queues nothing.
    LauncherError leaky = failed_fetch();
    leaky.attempts[0]["path"] = "C:/Games/Vornell/data.pck";
    EXPECT_EQ(service.create_report(leaky, Action::update, "clean"), "");
    EXPECT_EQ(queued(service).size(), 1u);
    EXPECT_EQ(json::parse(read_raw_file(service.last_report_path()))["report_id"], id);
}

TEST_F(Diagnostics, AFullQueueLosesTheFirstNameOnly) {
    DiagnosticsService service = offline();
    std::filesystem::create_directories(service.queue_dir());
    for (const char digit : std::string("0123456789abcdef")) {
        write_raw_file(service.queue_dir() / (std::string(31, '0') + digit + ".json"), "{}");
    }
    write_raw_file(service.queue_dir() / "0.json", "{}");  // not a queue name: not counted
    const std::string id = service.create_report(failed_fetch(), Action::check, "clean");
    ASSERT_FALSE(id.empty());
    const auto names = queued(service);
    EXPECT_EQ(names.size(), 17u);
    EXPECT_EQ(std::count(names.begin(), names.end(), file_of(std::string(32, '0'))), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), file_of(std::string(31, '0') + "1")), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), file_of(id)), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), L"0.json"), 1);
}

class Delivery : public Diagnostics {
  protected:
    // `count` new reports, their ids in queue (name) order.
    std::vector<std::string> create(DiagnosticsService& service, int count) {
        std::vector<std::string> ids;
        for (int i = 0; i < count; ++i) {
            ids.push_back(service.create_report(failed_fetch(), Action::update, "clean"));
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }
};

#define VORN_DELIVERY_SERVICE(server, prefix, service) \
    VORN_REQUIRE_LOOPBACK(server);                     \
    const std::string prefix = server.new_prefix();    \
    DiagnosticsService service =                       \
        make_service(server.url(prefix + "report"), server.url(prefix + "fallback"))

TEST_F(Delivery, AnAcknowledgedReportIsPostedAsJsonAndDeleted) {
    VORN_DELIVERY_SERVICE(server, prefix, service);
    const std::string id = service.create_report(failed_fetch(), Action::update, "dirty");
    server.answer(prefix + "report", json::array({ack(id)}), "POST");
    EXPECT_EQ(service.deliver_pending(2), 1u);
    EXPECT_TRUE(queued(service).empty());

    const json seen = server.requests(prefix);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0]["method"], "POST");
    EXPECT_EQ(seen[0]["headers"].value("content-type", ""), "application/json");
    EXPECT_EQ(seen[0]["headers"].value("cache-control", ""), "no-store");
    const json last = json::parse(read_raw_file(service.last_report_path()));
    EXPECT_EQ(from_base64(seen[0]["body_b64"]), compact_json(last));
}

TEST_F(Delivery, OnlyA202NamingTheReportCountsAndTheFallbackIsTried) {
    VORN_DELIVERY_SERVICE(server, prefix, service);
    const std::string id = service.create_report(failed_fetch(), Action::update, "clean");
    server.answer(prefix + "report", json::array({ack(id, 200), {{"status", 503}}}), "POST");
    server.answer(prefix + "fallback", json::array({ack(std::string(32, 'b')), ack(id)}), "POST");
    EXPECT_EQ(service.deliver_pending(2), 0u);
    EXPECT_EQ(queued(service), std::vector<std::wstring>{file_of(id)});

    EXPECT_EQ(service.deliver_pending(2), 1u);  // first refuses, the fallback takes it
    EXPECT_TRUE(queued(service).empty());
    const json seen = server.requests(prefix);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2]["path"], prefix + "report");
    EXPECT_EQ(seen[3]["path"], prefix + "fallback");
    EXPECT_EQ(sent_ids(seen), std::vector<std::string>(4, id));
}

TEST_F(Delivery, AMisnamedFileStaysWhileTheNextOnesGo) {
    VORN_DELIVERY_SERVICE(server, prefix, service);
    const auto ids = create(service, 3);
    // The first report moved under a name that sorts before everything else.
    const auto misnamed = service.queue_dir() / file_of(std::string(32, '0'));
    std::filesystem::rename(service.queue_dir() / file_of(ids[0]), misnamed);
    server.answer(prefix + "report", json::array({ack(ids[1]), ack(ids[2])}), "POST");
    EXPECT_EQ(service.deliver_pending(16), 2u);
    EXPECT_EQ(queued(service), std::vector<std::wstring>{misnamed.filename().wstring()});
    EXPECT_EQ(sent_ids(server.requests(prefix)), (std::vector<std::string>{ids[1], ids[2]}));
}

TEST_F(Delivery, WhenBothAddressesRefuseThePassEnds) {
    VORN_DELIVERY_SERVICE(server, prefix, service);
    const auto ids = create(service, 2);
    // Had the pass gone on, the second report would have been acknowledged.
    server.answer(prefix + "report", json::array({{{"status", 503}}, ack(ids[1])}), "POST");
    server.answer(prefix + "fallback", json::array({{{"status", 503}}, ack(ids[1])}), "POST");
    EXPECT_EQ(service.deliver_pending(2), 0u);
    EXPECT_EQ(queued(service).size(), 2u);
    EXPECT_EQ(sent_ids(server.requests(prefix)), (std::vector<std::string>{ids[0], ids[0]}));
}

TEST_F(Delivery, MaxReportsBoundsThePass) {
    VORN_DELIVERY_SERVICE(server, prefix, service);
    const auto ids = create(service, 3);
    server.answer(prefix + "report", json::array({ack(ids[0]), ack(ids[1]), ack(ids[2])}), "POST");
    EXPECT_EQ(service.deliver_pending(0), 0u);
    EXPECT_TRUE(server.requests(prefix).empty());
    EXPECT_EQ(service.deliver_pending(2), 2u);
    EXPECT_EQ(queued(service), std::vector<std::wstring>{file_of(ids[2])});
    EXPECT_EQ(service.deliver_pending(5), 1u);
    EXPECT_TRUE(queued(service).empty());
    EXPECT_EQ(sent_ids(server.requests(prefix)), ids);
}

}  // namespace
}  // namespace vorn
