#include <gtest/gtest.h>

#include "deployment_config.h"
#include "net/url_policy.h"
#include "support/fixtures.h"
#include "support/launcher_error_assert.h"

namespace vorn {
namespace {

const std::wstring update_host = deployment::update_host;
const std::wstring untrusted =
    L"Адрес обновления не принадлежит разрешённому HTTPS-серверу Vornell.";
const std::wstring blocked = L"Локальная проверка запрещает обращения к внешним серверам.";

TEST(ParseUrl, SplitsHostPortPathAndQuery) {
    const ParsedUrl a = parse_url(L"https://" + update_host + L"/upd/manifest.json?x=1&y=2");
    EXPECT_EQ(a.host, update_host);
    EXPECT_EQ(a.port, 443);
    EXPECT_TRUE(a.secure);
    EXPECT_EQ(a.path, L"/upd/manifest.json?x=1&y=2");

    const ParsedUrl b = parse_url(L"http://127.0.0.1:8080");
    EXPECT_EQ(b.path, L"/");
    EXPECT_EQ(b.port, 8080);
    EXPECT_FALSE(b.secure);
    EXPECT_EQ(parse_url(L"http://LocalHost/").host, L"localhost");
    EXPECT_EQ(parse_url(L"http://example.test").port, 80);
}

TEST(ParseUrl, Refusals) {
    for (const wchar_t* url :
         {L"", L"https://h.example/a#frag", L"https://h.example/\r\n", L"https://h.example/a\nb"}) {
        VORN_EXPECT_ERROR(parse_url(url), "url", L"Недопустимый адрес сервера.");
    }
    VORN_EXPECT_ERROR(parse_url(std::wstring(L"https://h.example/a\0b", 21)), "url",
                      L"Недопустимый адрес сервера.");
    for (const wchar_t* url :
         {L"https://user@h.example/", L"https://user:pw@h.example/", L"not a url", L"https://"}) {
        VORN_EXPECT_ERROR(parse_url(url), "url", L"Не удалось разобрать адрес сервера.") << url;
    }
    VORN_EXPECT_ERROR(parse_url(L"ftp://h.example/file"), "url");
}

TEST(TrustPolicy, NormalModeAcceptsOnlyProjectHostsOverHttps) {
    for (const wchar_t* host : {deployment::web_host, deployment::www_host, deployment::update_host,
                                deployment::update_host2, deployment::web_host2}) {
        EXPECT_NO_THROW(
            require_trusted_url(std::wstring(L"https://") + host + L"/x", UrlTrust::project_hosts));
    }
    std::wstring upper = update_host;
    for (wchar_t& c : upper) {
        c = static_cast<wchar_t>(towupper(c));
    }
    EXPECT_NO_THROW(require_trusted_url(L"https://" + upper + L"/upd/", UrlTrust::project_hosts));
    EXPECT_NO_THROW(
        require_trusted_url(L"https://" + update_host + L":443/upd/", UrlTrust::project_hosts));

    for (const std::wstring& url :
         {L"http://" + update_host + L"/upd/", L"https://" + update_host + L":8443/upd/",
          L"https://evil." + update_host + L"/upd/", L"https://x" + update_host + L"/",
          L"https://" + update_host + L".evil.example/", std::wstring(L"https://127.0.0.1/"),
          std::wstring(L"http://127.0.0.1:8080/")}) {
        VORN_EXPECT_ERROR(require_trusted_url(url, UrlTrust::project_hosts), "untrusted_url",
                          untrusted);
    }
    VORN_EXPECT_ERROR(
        require_trusted_url(L"https://me@" + update_host + L"/", UrlTrust::project_hosts), "url",
        L"Не удалось разобрать адрес сервера.");
}

TEST(TrustPolicy, LocalTestModeAcceptsOnlyLoopback) {
    for (const wchar_t* url : {L"http://127.0.0.1:8080/upd/", L"https://127.0.0.1:9/x",
                               L"http://localhost/", L"http://LOCALHOST:81/"}) {
        EXPECT_TRUE(is_loopback_url(url)) << url;
        EXPECT_NO_THROW(require_trusted_url(url, UrlTrust::loopback_only)) << url;
    }
    VORN_EXPECT_ERROR(require_trusted_url(L"https://" + update_host + L"/upd/manifest.json",
                                          UrlTrust::loopback_only),
                      "qa_network_blocked", blocked);
    VORN_EXPECT_ERROR(require_trusted_url(L"http://127.0.0.2/", UrlTrust::loopback_only),
                      "qa_network_blocked", blocked);
    VORN_EXPECT_ERROR(require_trusted_url(L"http://localhost.example/", UrlTrust::loopback_only),
                      "qa_network_blocked");
    VORN_EXPECT_ERROR(require_trusted_url(L"http://127.0.0.1/#x", UrlTrust::loopback_only), "url");
}

TEST(TrustPolicy, LocalTestModeAcceptsIpv6Loopback) {
    if (test::running_under_wine()) {
        GTEST_SKIP() << "Wine's WinHttpCrackUrl cannot split a bracketed IPv6 host";
    }
    EXPECT_TRUE(is_loopback_url(L"http://[::1]:5000/"));
    EXPECT_NO_THROW(require_trusted_url(L"http://[::1]:5000/", UrlTrust::loopback_only));
}

TEST(TrustPolicy, LoopbackTestNeverThrows) {
    EXPECT_FALSE(is_loopback_url(L""));
    EXPECT_FALSE(is_loopback_url(L"ftp://127.0.0.1/"));
    EXPECT_FALSE(is_loopback_url(L"http://127.0.0.1.example/"));
    EXPECT_FALSE(is_loopback_url(L"http://u@127.0.0.1/"));
}

}  // namespace
}  // namespace vorn
