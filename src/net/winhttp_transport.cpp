#include "net/winhttp_transport.h"

#include <vector>

#include "core/launcher_error.h"
#include "net/url_policy.h"
#include "net/winhttp_exchange.h"

namespace vorn {
namespace {

constexpr std::uint32_t first_error_status = 400;

[[noreturn]] void body_too_large() {
    throw LauncherError("body_limit", L"Ответ сервера превышает допустимый размер.");
}

void read_body(WinHttpExchange& exchange, const HttpRequest& request, Bytes& body) {
    const auto& length = exchange.content_length();
    if (length && *length > request.max_body) {
        body_too_large();
    }
    if (is_foreign_encoding(exchange.content_encoding())) {
        throw LauncherError("content_encoding",
                            L"Сервер прислал ответ в неподдерживаемом формате сжатия.");
    }
    if (length) {
        body.reserve(static_cast<std::size_t>(*length));
    }
    std::vector<std::uint8_t> buffer(network_read_size);
    for (;;) {
        const DWORD read = exchange.read(buffer.data(), network_read_size);
        if (read == 0) {
            if (length && body.size() != *length) {
                throw LauncherError("truncated_body", L"Ответ сервера загружен не полностью.");
            }
            return;
        }
        if (body.size() + read > request.max_body) {
            body_too_large();
        }
        body.insert(body.end(), buffer.begin(), buffer.begin() + read);
        if (exchange.elapsed_ms() > request.deadline_ms) {
            throw make_transport_error("timeout", ERROR_WINHTTP_TIMEOUT);
        }
    }
}

}  // namespace

void WinHttpTransport::request(HttpResponse& response, const HttpRequest& request) {
    WinHttpExchange exchange;
    require_trusted_url(request.url, request.trust);
    Bytes body;
    try {
        exchange.send(request);
        exchange.parse_content_length();
        if (request.method != "HEAD" && exchange.status() < first_error_status) {
            read_body(exchange, request, body);
        }
    } catch (LauncherError& error) {
        exchange.enrich(error, body.size());
        throw;
    }
    response.status = exchange.status();
    response.headers = exchange.headers();
    response.body = std::move(body);
    response.elapsed_ms = exchange.elapsed_ms();
}

}  // namespace vorn
