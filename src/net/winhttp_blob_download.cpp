#include <vector>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/unique_handle.h"
#include "net/blob_cache.h"
#include "net/chunk_writer.h"
#include "net/url_policy.h"
#include "net/winhttp_exchange.h"
#include "net/winhttp_transport.h"

namespace vorn {
namespace {

constexpr std::uint32_t status_ok = 200;

void check_blob_answer(WinHttpExchange& exchange, std::uint64_t size) {
    if (exchange.status() != status_ok) {
        throw LauncherError("http_status", L"Сервер обновлений вернул ошибку HTTP.", 0,
                            exchange.status());
    }
    exchange.parse_content_length();
    // A missing Content-Length is accepted; the read loop bounds the body anyway.
    if (exchange.content_length() && *exchange.content_length() != size) {
        throw LauncherError("delta_blob_length", L"Сервер прислал неверный размер блока дельты.");
    }
    if (is_foreign_encoding(exchange.content_encoding())) {
        throw LauncherError("content_encoding", L"Сервер изменил формат блока дельты.");
    }
}

// Streams the body into the new file, hashing as it writes; the writes and the hash run
// beside the network reads. `written` counts the bytes on disk, also when it throws.
void stream_to_file(WinHttpExchange& exchange, const HttpRequest& request,
                    const std::filesystem::path& part, std::uint64_t size, const std::string& sha,
                    std::uint64_t& written) {
    Sha256 hash;
    UniqueFile file(CreateFileW(long_path(part).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw_win32_error("delta_cache_write", GetLastError());
    }
    ChunkWriter writer(file.get(), hash, network_read_size);
    std::uint64_t received = 0;
    try {
        for (;;) {
            ChunkWriter::Buffer buffer = writer.take_buffer();
            const DWORD read = exchange.read(buffer.data(), network_read_size);
            if (read == 0) {
                break;
            }
            if (received + read > size) {
                throw LauncherError("delta_blob_length",
                                    L"Блок дельты превышает объявленный размер.");
            }
            writer.push(std::move(buffer), read);
            received += read;
            if (exchange.elapsed_ms() > request.deadline_ms) {
                throw make_transport_error("timeout", ERROR_WINHTTP_TIMEOUT);
            }
        }
        writer.finish();
    } catch (...) {
        writer.stop();  // what the error reports is what the file holds
        written = writer.written();
        throw;
    }
    written = writer.written();
    if (written != size) {
        throw LauncherError("truncated_body", L"Блок дельты загружен не полностью.");
    }
    if (hash.finish() != sha) {
        throw LauncherError("delta_blob_integrity", L"Блок дельты не прошёл проверку SHA-256.");
    }
    if (!FlushFileBuffers(file.get())) {
        throw_win32_error("delta_cache_flush", GetLastError());
    }
}

}  // namespace

void WinHttpTransport::download_blob(HttpResponse& response, const HttpRequest& request,
                                     const std::filesystem::path& part_path,
                                     std::uint64_t expected_size,
                                     const std::string& expected_sha256) {
    WinHttpExchange exchange;
    require_trusted_url(request.url, request.trust);
    if (request.method != "GET" || !request.body.empty() ||
        !is_valid_blob_request(request, expected_size, expected_sha256)) {
        throw LauncherError("delta_download_contract", L"Неверные параметры загрузки дельты.");
    }
    std::uint64_t written = 0;
    try {
        exchange.send(request);
        check_blob_answer(exchange, expected_size);
        stream_to_file(exchange, request, part_path, expected_size, expected_sha256, written);
    } catch (LauncherError& error) {
        exchange.enrich(error, written);
        throw;
    }
    response.status = exchange.status();
    response.headers = exchange.headers();
    response.body.clear();
    response.elapsed_ms = exchange.elapsed_ms();
}

}  // namespace vorn
