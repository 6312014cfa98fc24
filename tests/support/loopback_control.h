// The tests' side of the scripted loopback server: scripts its answers and reads the
// requests it received, over plain Winsock, never through the transport under test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "support/fixtures.h"

namespace vorn::test {

class LoopbackServer {
  public:
    // The server CTest started for this run, or nothing when there is none.
    static std::optional<LoopbackServer> find();

    std::uint16_t port() const { return port_; }
    // http://127.0.0.1:<port><path>
    std::wstring url(const std::string& path) const;
    // A fresh path prefix "/t/<hex>/" that keeps this test's rules and records apart.
    static std::string new_prefix();
    // The folder the server serves files from (Windows form).
    const std::filesystem::path& root() const { return root_; }

    // Appends rules ({"path", "method", "answers"}), after dropping those under `replace`.
    void script(const nlohmann::json& rules, const std::string& replace = {}) const;
    // One rule: every request of `method` to `path` gets the answers in order.
    void answer(const std::string& path, const nlohmann::json& answers,
                const std::string& method = "*") const;
    // The requests received under the prefix, oldest first.
    nlohmann::json requests(const std::string& prefix) const;
    void reset(const std::string& prefix) const;

  private:
    nlohmann::json control(const std::string& method, const std::string& path,
                           const std::string& body) const;

    std::uint16_t port_ = 0;
    std::filesystem::path root_;
};

}  // namespace vorn::test

// Fails the test, saying how to run it, when the loopback server fixture is absent: a
// binary started by hand must not pass by skipping what it did not run.
#define VORN_REQUIRE_LOOPBACK(server)                                 \
    const auto server##_found = ::vorn::test::LoopbackServer::find(); \
    if (!server##_found) {                                            \
        FAIL() << VORN_FIXTURES_MISSING;                              \
    }                                                                 \
    const ::vorn::test::LoopbackServer& server = *server##_found
