#include "support/loopback_control.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <fstream>
#include <stdexcept>

#include "core/identifiers.h"
#include "core/unique_handle.h"
#include "support/fixtures.h"

namespace vorn::test {
namespace {

// One Winsock start per process, released at exit.
struct WinsockSession {
    WinsockSession() {
        WSADATA data{};
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            throw std::runtime_error("WSAStartup failed");
        }
    }
    ~WinsockSession() { WSACleanup(); }
};

SOCKET invalid_socket() noexcept {
    return INVALID_SOCKET;
}
using UniqueSocket = UniqueHandle<ClosedBy<SOCKET, closesocket, invalid_socket>>;

std::string exchange(std::uint16_t port, const std::string& request) {
    static WinsockSession session;
    UniqueSocket sock(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!sock) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        throw std::runtime_error("cannot reach the loopback server");
    }
    for (std::size_t sent = 0; sent < request.size();) {
        const int n =
            send(sock.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n <= 0) {
            throw std::runtime_error("send to the loopback server failed");
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[8192];
    for (;;) {
        const int n = recv(sock.get(), buffer, sizeof(buffer), 0);
        if (n < 0) {
            throw std::runtime_error("recv from the loopback server failed");
        }
        if (n == 0) {
            return answer;  // the control channel always closes after its answer
        }
        answer.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

std::optional<LoopbackServer> LoopbackServer::find() {
    const auto state = fixture_dir("loopback-state");
    const auto root = fixture_dir("loopback-root");
    if (!state || !root) {
        return std::nullopt;
    }
    std::ifstream port_file(*state / L"port");
    int port = 0;
    if (!(port_file >> port) || port <= 0 || port > 65535) {
        return std::nullopt;
    }
    LoopbackServer server;
    server.port_ = static_cast<std::uint16_t>(port);
    server.root_ = *root;
    return server;
}

std::wstring LoopbackServer::url(const std::string& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + std::wstring(path.begin(), path.end());
}

std::string LoopbackServer::new_prefix() {
    return "/t/" + random_hex(8) + "/";
}

nlohmann::json LoopbackServer::control(const std::string& method, const std::string& path,
                                       const std::string& body) const {
    const std::string request =
        method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    const std::string answer = exchange(port_, request);
    const std::size_t split = answer.find("\r\n\r\n");
    if (split == std::string::npos || answer.compare(0, 12, "HTTP/1.1 200") != 0) {
        throw std::runtime_error("loopback control " + path + " failed: " + answer.substr(0, 300));
    }
    return nlohmann::json::parse(answer.substr(split + 4));
}

void LoopbackServer::script(const nlohmann::json& rules, const std::string& replace) const {
    nlohmann::json body = {{"rules", rules}};
    if (!replace.empty()) {
        body["replace_prefix"] = replace;
    }
    control("POST", "/__control/script", body.dump());
}

void LoopbackServer::answer(const std::string& path, const nlohmann::json& answers,
                            const std::string& method) const {
    script(nlohmann::json::array({{{"path", path}, {"method", method}, {"answers", answers}}}));
}

nlohmann::json LoopbackServer::requests(const std::string& prefix) const {
    return control("GET", "/__control/requests?prefix=" + prefix, "");
}

void LoopbackServer::reset(const std::string& prefix) const {
    control("POST", "/__control/reset?prefix=" + prefix, "");
}

}  // namespace vorn::test
