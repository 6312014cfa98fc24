#include <gtest/gtest.h>

#include <windows.h>

#include "build_info.h"
#include "net/fetch.h"
#include "net/http.h"
#include "net/winhttp_transport.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"
#include "support/loopback_control.h"
#include "support/loopback_request.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using nlohmann::json;
using test::loopback_request;

std::string text_of(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(Transport, SendsFixedHeadersAndCapturesTheFiveResponseHeaders) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "doc",
                  json::array({{{"body_text", "hello"},
                                {"headers",
                                 {{"ETag", "\"v1\""},
                                  {"Last-Modified", "Tue, 08 Dec 2026 10:00:00 GMT"},
                                  {"Content-Type", "text/plain"},
                                  {"Content-Encoding", "IDENTITY"},
                                  {"X-Other", "ignored"}}}}}));
    HttpResponse response;
    WinHttpTransport().request(response, loopback_request(server, prefix + "doc?q=1"));
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(text_of(response.body), "hello");
    const std::map<std::string, std::string> expected = {
        {"content-encoding", "IDENTITY"},
        {"content-length", "5"},
        {"content-type", "text/plain"},
        {"etag", "\"v1\""},
        {"last-modified", "Tue, 08 Dec 2026 10:00:00 GMT"},
    };
    EXPECT_EQ(response.headers, expected);

    const json seen = server.requests(prefix);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0]["method"], "GET");
    EXPECT_EQ(seen[0]["path"], prefix + "doc?q=1");
    const json& headers = seen[0]["headers"];
    EXPECT_EQ(headers["user-agent"], std::string("VornellLauncher/") + launcher_build);
    EXPECT_EQ(headers["cache-control"], "no-cache");
    EXPECT_EQ(headers["pragma"], "no-cache");
    EXPECT_EQ(headers["accept-encoding"], "identity");
}

TEST(Transport, PostsBodyAndHeadReadsNoBody) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    test::write_raw_file(server.root() / (prefix.substr(1) + "file.bin"), "0123456789");

    HttpRequest post = loopback_request(server, prefix + "report");
    post.method = "POST";
    post.body = {'{', '}'};
    post.headers[L"Content-Type"] = L"application/json";
    server.answer(prefix + "report", json::array({{{"status", 202}, {"body_text", "ok"}}}), "POST");
    HttpResponse posted;
    WinHttpTransport().request(posted, post);
    EXPECT_EQ(posted.status, 202u);
    EXPECT_EQ(text_of(posted.body), "ok");

    HttpRequest head = loopback_request(server, prefix + "file.bin");
    head.method = "HEAD";
    HttpResponse headed;
    WinHttpTransport().request(headed, head);
    EXPECT_EQ(headed.status, 200u);
    EXPECT_TRUE(headed.body.empty());
    EXPECT_EQ(headed.headers["content-length"], "10");
    EXPECT_TRUE(headed.headers.contains("etag"));
    EXPECT_TRUE(headed.headers.contains("last-modified"));

    const json seen = server.requests(prefix);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0]["body_b64"], "e30=");  // "{}"
    EXPECT_EQ(seen[0]["headers"]["content-type"], "application/json");
    EXPECT_EQ(seen[1]["method"], "HEAD");
}

TEST(Transport, RedirectsAndErrorStatusesReachTheCallerUnchanged) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "moved", json::array({{{"status", 302},
                                                  {"headers", {{"Location", prefix + "target"}}},
                                                  {"body_text", "elsewhere"}}}));
    server.answer(prefix + "target", json::array({{{"body_text", "target"}}}));
    server.answer(prefix + "missing", json::array({{{"status", 404}, {"body_text", "no such"}}}));
    server.answer(prefix + "nohead", json::array({{{"status", 405}}}), "HEAD");

    HttpResponse response;
    WinHttpTransport().request(response, loopback_request(server, prefix + "moved"));
    EXPECT_EQ(response.status, 302u);
    EXPECT_EQ(text_of(response.body), "elsewhere");

    WinHttpTransport().request(response, loopback_request(server, prefix + "missing"));
    EXPECT_EQ(response.status, 404u);
    EXPECT_TRUE(response.body.empty()) << "no body is read for an error status";

    HttpRequest head = loopback_request(server, prefix + "nohead");
    head.method = "HEAD";
    WinHttpTransport().request(response, head);
    EXPECT_EQ(response.status, 405u);

    const json seen = server.requests(prefix);
    ASSERT_EQ(seen.size(), 3u) << "the redirect target must never be requested";
    for (const json& record : seen) {
        EXPECT_NE(record["path"], prefix + "target");
    }
}

TEST(Transport, TimeoutIsClampedToAtLeastFiftyMilliseconds) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "slow", json::array({{{"delay_ms", 2000}, {"body_text", "late"}},
                                                {{"delay_ms", 300}, {"body_text", "late"}}}));
    HttpRequest request = loopback_request(server, prefix + "slow");
    request.timeout_ms = 0;
    const ULONGLONG started = GetTickCount64();
    const auto error = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().request(response, request);
    });
    ASSERT_TRUE(error) << "a 2 s answer must not arrive within a 50 ms budget";
    EXPECT_LT(GetTickCount64() - started, 1500u);
    if (test::running_under_wine()) {
        // Wine reports the expired wait as the socket error 10060 from the send step.
        EXPECT_TRUE(is_transient_failure(*error)) << test::describe(*error);
    } else {
        EXPECT_EQ(error->stage, "timeout") << test::describe(*error);
    }

    // A budget above the ceiling is used as 30 s, so a 300 ms answer still arrives.
    request.timeout_ms = 100000;
    HttpResponse response;
    WinHttpTransport().request(response, request);
    EXPECT_EQ(text_of(response.body), "late");
}

TEST(Transport, DeadlineBoundsTheWholeBodyAndErrorsAreEnriched) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(
        prefix + "trickle",
        json::array({{{"body_size", 400000}, {"chunk_size", 65536}, {"body_delay_ms", 150}}}));
    HttpRequest request = loopback_request(server, prefix + "trickle");
    request.deadline_ms = 250;
    const auto error = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().request(response, request);
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "timeout") << test::describe(*error);
    EXPECT_EQ(error->message, L"Сервер не ответил вовремя. Повторите попытку.");
    EXPECT_EQ(error->win32, 12002u);
    EXPECT_EQ(error->http_status, 200u);
    EXPECT_GT(error->bytes, 0u);
    EXPECT_LT(error->bytes, 400000u);
    EXPECT_EQ(error->expected_bytes, 400000u);
    EXPECT_GE(error->elapsed_ms, 250u);
    EXPECT_EQ(error->content_encoding, "identity");
}

TEST(Transport, BodyLimitBeforeAndDuringReading) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "declared", json::array({{{"body_size", 1000}}}));
    server.answer(prefix + "undeclared",
                  json::array({{{"body_size", 200000}, {"content_length", nullptr}}}));
    server.answer(prefix + "exact", json::array({{{"body_size", 1000}}}));
    const std::wstring too_large = L"Ответ сервера превышает допустимый размер.";

    const auto before = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().request(response, loopback_request(server, prefix + "declared", 999));
    });
    ASSERT_TRUE(before);
    EXPECT_EQ(before->stage, "body_limit");
    EXPECT_EQ(before->message, too_large);
    EXPECT_EQ(before->bytes, 0u);
    EXPECT_EQ(before->expected_bytes, 1000u);

    const auto during = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().request(response,
                                   loopback_request(server, prefix + "undeclared", 100000));
    });
    ASSERT_TRUE(during);
    EXPECT_EQ(during->stage, "body_limit") << test::describe(*during);
    EXPECT_LE(during->bytes, 100000u);
    EXPECT_EQ(during->expected_bytes, 0u);

    HttpResponse response;
    WinHttpTransport().request(response, loopback_request(server, prefix + "exact", 1000));
    EXPECT_EQ(response.body, test::pattern_bytes(1000));
}

TEST(Transport, TruncatedBodyIsRefused) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "cut",
                  json::array({{{"body_size", 100000}, {"truncate_after", 30000}}}));
    const auto error = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().request(response, loopback_request(server, prefix + "cut"));
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "truncated_body") << test::describe(*error);
    EXPECT_EQ(error->message, L"Ответ сервера загружен не полностью.");
    EXPECT_EQ(error->bytes, 30000u);
    EXPECT_EQ(error->expected_bytes, 100000u);
}

TEST(Transport, ContentEncodingAndLengthRules) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "gzip",
                  json::array({{{"body_text", "x"}, {"headers", {{"Content-Encoding", "gzip"}}}}}));
    server.answer(prefix + "letter", json::array({{{"body_text", "x"}, {"content_length", "1a"}}}));
    const auto gzip = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().request(response, loopback_request(server, prefix + "gzip"));
    });
    ASSERT_TRUE(gzip);
    EXPECT_EQ(gzip->stage, "content_encoding");
    EXPECT_EQ(gzip->message, L"Сервер прислал ответ в неподдерживаемом формате сжатия.");
    EXPECT_EQ(gzip->content_encoding, "gzip");
    EXPECT_EQ(gzip->http_status, 200u);

    const auto letter = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().request(response, loopback_request(server, prefix + "letter"));
    });
    ASSERT_TRUE(letter);
    EXPECT_EQ(letter->stage, "content_length") << test::describe(*letter);
}

TEST(ResponseLength, DigitsOnlyWithinSixtyFourBits) {
    EXPECT_EQ(parse_response_length("0"), 0u);
    EXPECT_EQ(parse_response_length("18446744073709551615"), 18446744073709551615ull);
    EXPECT_EQ(parse_response_length("00000000000000000012"), 12u);
    const std::wstring invalid = L"Сервер прислал неверную длину ответа.";
    for (const char* text : {"", "12a", " 12", "-1", "+1", "123456789012345678901"}) {
        VORN_EXPECT_ERROR(parse_response_length(text), "content_length", invalid)
            << '"' << text << '"';
    }
    VORN_EXPECT_ERROR(parse_response_length("18446744073709551616"), "content_length",
                      L"Сервер прислал слишком большую длину ответа.");
    VORN_EXPECT_ERROR(parse_response_length("99999999999999999999"), "content_length",
                      L"Сервер прислал слишком большую длину ответа.");
}

TEST(Transport, RefusesBeforeAnyRequest) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    HttpResponse response;
    HttpRequest untrusted = loopback_request(server, prefix + "a");
    untrusted.trust = UrlTrust::project_hosts;
    VORN_EXPECT_ERROR(WinHttpTransport().request(response, untrusted), "untrusted_url");

    HttpRequest put = loopback_request(server, prefix + "b");
    put.method = "PUT";
    VORN_EXPECT_ERROR(WinHttpTransport().request(response, put), "http_method",
                      L"Неподдерживаемый метод запроса.");
    HttpRequest lower = loopback_request(server, prefix + "c");
    lower.method = "get";
    VORN_EXPECT_ERROR(WinHttpTransport().request(response, lower), "http_method");

    HttpRequest injected = loopback_request(server, prefix + "d");
    injected.headers[L"X-Test"] = L"a\r\nX-Evil: 1";
    VORN_EXPECT_ERROR(WinHttpTransport().request(response, injected), "http_headers",
                      L"Некорректные заголовки запроса.");
    EXPECT_TRUE(server.requests(prefix).empty());
}

TEST(Transport, ClosedPortFailsToConnect) {
    const auto error = test::capture_error([&] {
        HttpResponse response;
        WinHttpTransport().request(response,
                                   make_request(L"http://127.0.0.1:1/x", UrlTrust::loopback_only));
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "connect") << test::describe(*error);
    EXPECT_EQ(error->win32, 12029u);
    EXPECT_EQ(error->content_encoding, "none");
}

}  // namespace
}  // namespace vorn
