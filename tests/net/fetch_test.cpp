#include <gtest/gtest.h>

#include "net/fetch.h"
#include "net/winhttp_transport.h"
#include "support/launcher_error_assert.h"
#include "support/loopback_control.h"
#include "support/loopback_request.h"

namespace vorn {
namespace {

using nlohmann::json;
using test::loopback_request;

json statuses(std::initializer_list<int> codes) {
    json answers = json::array();
    for (const int code : codes) {
        answers.push_back({{"status", code}, {"body_text", "body " + std::to_string(code)}});
    }
    return answers;
}

// Milliseconds between consecutive requests, as the server saw them.
std::vector<double> gaps_ms(const json& records) {
    std::vector<double> gaps;
    for (std::size_t i = 1; i < records.size(); ++i) {
        gaps.push_back((records[i]["time"].get<double>() - records[i - 1]["time"].get<double>()) *
                       1000);
    }
    return gaps;
}

TEST(Fetch, TransientStatusesAreRetriedWithGrowingPauses) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "m", statuses({503, 503, 200}));
    WinHttpTransport transport;
    HttpResponse response;
    fetch(response, transport, loopback_request(server, prefix + "m"), 3);
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()), "body 200");

    const json seen = server.requests(prefix);
    ASSERT_EQ(seen.size(), 3u);
    const auto gaps = gaps_ms(seen);
    EXPECT_GE(gaps[0], 95);
    EXPECT_GE(gaps[1], 195);
    EXPECT_LT(gaps[0], gaps[1]);

    server.answer(prefix + "throttled", statuses({408, 429, 200}));
    EXPECT_EQ(fetch(response, transport, loopback_request(server, prefix + "throttled"), 3).status,
              200u);
}

TEST(Fetch, OneAttemptFailsAtOnceWithItsRecord) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "m", statuses({503, 200}));
    WinHttpTransport transport;
    const auto error = test::capture_error([&] {
        HttpResponse response;
        fetch(response, transport, loopback_request(server, prefix + "m"), 1);
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, "http_status");
    EXPECT_EQ(error->message, L"Сервер обновлений вернул ошибку HTTP.");
    EXPECT_EQ(error->http_status, 503u);
    EXPECT_EQ(error->bytes, 0u);
    ASSERT_EQ(error->attempts.size(), 1u);
    const json& record = error->attempts[0];
    EXPECT_EQ(record["stage"], "http_status");
    EXPECT_EQ(record["http_status"], 503);
    EXPECT_EQ(record["attempt"], 1);
    EXPECT_EQ(record["win32"], 0);
    for (const char* key :
         {"bytes", "expected_bytes", "elapsed_ms", "content_encoding", "file_count", "parse_ok"}) {
        EXPECT_TRUE(record.contains(key)) << key;
    }
    EXPECT_EQ(server.requests(prefix).size(), 1u);
}

TEST(Fetch, PermanentFailuresAreNotRetried) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "gone", statuses({404, 200}));
    server.answer(prefix + "moved",
                  json::array({{{"status", 302}, {"headers", {{"Location", "/x"}}}}}));
    WinHttpTransport transport;
    for (const char* name : {"gone", "moved"}) {
        const auto error = test::capture_error([&] {
            HttpResponse response;
            fetch(response, transport, loopback_request(server, prefix + name), 3);
        });
        ASSERT_TRUE(error) << name;
        EXPECT_EQ(error->stage, "http_status");
        EXPECT_EQ(error->attempts.size(), 1u) << name;
    }
    EXPECT_EQ(server.requests(prefix).size(), 2u);
}

TEST(Fetch, AttemptsAreClampedAndEveryFailureIsRecorded) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "down", json::array({{{"status", 500}, {"repeat", 10}}}));
    server.answer(prefix + "zero", json::array({{{"status", 500}, {"repeat", 10}}}));
    WinHttpTransport transport;
    const auto error = test::capture_error([&] {
        HttpResponse response;
        fetch(response, transport, loopback_request(server, prefix + "down"), 10);
    });
    ASSERT_TRUE(error);
    ASSERT_EQ(error->attempts.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(error->attempts[i]["attempt"], i + 1);
        EXPECT_EQ(error->attempts[i]["http_status"], 500);
    }
    EXPECT_GE(error->elapsed_ms, 300u) << "total time covers both pauses";
    EXPECT_EQ(server.requests(prefix + "down").size(), 3u);

    const auto once = test::capture_error([&] {
        HttpResponse response;
        fetch(response, transport, loopback_request(server, prefix + "zero"), 0);
    });
    ASSERT_TRUE(once);
    EXPECT_EQ(once->attempts.size(), 1u);
    EXPECT_EQ(server.requests(prefix + "zero").size(), 1u);
}

TEST(Fetch, TruncatedBodyIsTransient) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "m", json::array({{{"body_size", 5000}, {"truncate_after", 100}},
                                             {{"body_size", 5000}}}));
    WinHttpTransport transport;
    HttpResponse response;
    fetch(response, transport, loopback_request(server, prefix + "m"), 2);
    EXPECT_EQ(response.body, test::pattern_bytes(5000));
    EXPECT_EQ(server.requests(prefix).size(), 2u);
}

TEST(Fetch, HeadAcceptsNotAllowedAndNotImplemented) {
    VORN_REQUIRE_LOOPBACK(server);
    const std::string prefix = server.new_prefix();
    server.answer(prefix + "a", statuses({405}), "HEAD");
    server.answer(prefix + "b", statuses({501}), "HEAD");
    server.answer(prefix + "c", statuses({405}), "GET");
    WinHttpTransport transport;
    for (const char* name : {"a", "b"}) {
        HttpRequest head = loopback_request(server, prefix + name);
        head.method = "HEAD";
        HttpResponse response;
        fetch(response, transport, head, 1);
        EXPECT_TRUE(response.body.empty());
    }
    const auto get = test::capture_error([&] {
        HttpResponse response;
        fetch(response, transport, loopback_request(server, prefix + "c"), 1);
    });
    ASSERT_TRUE(get) << "only HEAD may be answered with 405";
    EXPECT_EQ(get->http_status, 405u);
}

TEST(Fetch, TransientClassification) {
    auto with = [](const char* stage, std::uint32_t status) {
        return LauncherError(stage, L"x", 0, status);
    };
    for (const char* stage : {"dns", "timeout", "connect", "send_request", "receive_response",
                              "read_body", "truncated_body"}) {
        EXPECT_TRUE(is_transient_failure(with(stage, 0))) << stage;
    }
    for (const std::uint32_t status : {408u, 429u, 500u, 503u, 599u}) {
        EXPECT_TRUE(is_transient_failure(with("http_status", status))) << status;
    }
    for (const std::uint32_t status : {302u, 400u, 404u, 405u, 499u}) {
        EXPECT_FALSE(is_transient_failure(with("http_status", status))) << status;
    }
    EXPECT_FALSE(is_transient_failure(with("body_limit", 200)));
    EXPECT_FALSE(is_transient_failure(with("content_encoding", 200)));
    EXPECT_FALSE(is_transient_failure(with("tls", 0)));
}

}  // namespace
}  // namespace vorn
