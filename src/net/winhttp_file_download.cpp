#include <optional>
#include <string_view>

#include "core/file_system.h"
#include "core/launcher_error.h"
#include "core/text.h"
#include "core/unique_handle.h"
#include "net/blob_cache.h"
#include "net/chunk_writer.h"
#include "net/url_policy.h"
#include "net/winhttp_exchange.h"
#include "net/winhttp_transport.h"

namespace vorn {
namespace {

constexpr std::uint32_t status_ok = 200;
constexpr std::uint32_t status_partial = 206;

// The refusals of one kind of download, in the words its callers always used.
struct DownloadWords {
    const char* length_stage;
    const wchar_t* wrong_length;  // the announced length is not the expected one
    const char* limit_stage;
    const wchar_t* too_long;
    const wchar_t* truncated;
    const wchar_t* encoding;
    const char* range_stage;
    const char* write_stage;
    const char* flush_stage;
};

constexpr DownloadWords delta_words{
    "delta_blob_length",
    L"Сервер прислал неверный размер блока дельты.",
    "delta_blob_length",
    L"Блок дельты превышает объявленный размер.",
    L"Блок дельты загружен не полностью.",
    L"Сервер изменил формат блока дельты.",
    "delta_blob_range",
    "delta_cache_write",
    "delta_cache_flush",
};

constexpr DownloadWords update_words{
    "blob_length",
    L"Файл обновления загружен не полностью.",
    "body_limit",
    L"Ответ сервера превышает допустимый размер.",
    L"Ответ сервера загружен не полностью.",
    L"Сервер прислал ответ в неподдерживаемом формате сжатия.",
    "download_range",
    "file_write",
    "file_write",
};

const DownloadWords& words_of(DownloadKind kind) {
    return kind == DownloadKind::delta_blob ? delta_words : update_words;
}

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
};

// "bytes <first>-<last>/<total>" with first <= last < total; none for anything else.
std::optional<ByteRange> parse_content_range(std::string_view text) {
    constexpr std::string_view unit = "bytes ";
    const std::size_t dash = text.find('-');
    const std::size_t slash = text.find('/');
    if (!text.starts_with(unit) || dash == std::string_view::npos || slash < dash) {
        return std::nullopt;
    }
    const auto first = parse_decimal_length(text.substr(unit.size(), dash - unit.size()));
    const auto last = parse_decimal_length(text.substr(dash + 1, slash - dash - 1));
    const auto total = parse_decimal_length(text.substr(slash + 1));
    if (!first || !last || !total || *first > *last || *last >= *total) {
        return std::nullopt;
    }
    return ByteRange{*first, *last, *total};
}

// The file at `download.path`, opened without sharing, cut to the bytes it is known to hold.
UniqueFile open_download_file(FileDownload& download, const DownloadWords& words) {
    UniqueFile file(CreateFileW(long_path(download.path).c_str(), GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
    if (!file) {
        throw_win32_error(words.write_stage, GetLastError());
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) ||
        static_cast<std::uint64_t>(size.QuadPart) < download.held) {
        download.held = 0;  // shorter than we left it: nothing in it is known any more
    }
    return file;
}

void cut_file_at(HANDLE file, std::uint64_t offset, const DownloadWords& words) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        throw_win32_error(words.write_stage, GetLastError());
    }
}

std::string answer_etag(const WinHttpExchange& exchange) {
    const auto found = exchange.headers().find("etag");
    const bool strong = found != exchange.headers().end() && is_strong_etag(found->second);
    return strong ? found->second : std::string();
}

// Checks a 206 answer against the bytes held: the same validator and the rest of the very
// file the size announces. A bad one forgets the held bytes, so the next try starts over.
std::uint64_t accept_partial_answer(WinHttpExchange& exchange, FileDownload& download,
                                    const HttpRequest& request, const DownloadWords& words) {
    const std::optional<std::string> text = exchange.header(WINHTTP_QUERY_CONTENT_RANGE);
    const std::optional<ByteRange> range = text ? parse_content_range(*text) : std::nullopt;
    const bool fits =
        range && range->first == download.held && range->last + 1 == range->total &&
        range->total <= request.max_body && (download.size == 0 || range->total == download.size) &&
        answer_etag(exchange) == download.etag &&
        (!exchange.content_length() || *exchange.content_length() == range->total - range->first);
    if (!fits) {
        download.held = 0;
        download.etag.clear();
        throw LauncherError(words.range_stage, L"Сервер прислал неверный диапазон файла.");
    }
    return range->total;
}

// Checks the status and the headers; returns the whole body's length when the answer
// tells it (0 when not). On a 200 answer the file starts again from byte 0.
std::uint64_t accept_answer(WinHttpExchange& exchange, FileDownload& download,
                            const HttpRequest& request, bool ranged) {
    const DownloadWords& words = words_of(download.kind);
    const bool partial = ranged && exchange.status() == status_partial;
    if (exchange.status() != status_ok && !partial) {
        // Only a success other than 200 is the update file's own refusal.
        const bool success = exchange.status() >= 200 && exchange.status() <= 299;
        if (download.kind == DownloadKind::update_file && success) {
            throw LauncherError("blob_http", L"Не удалось загрузить файл обновления.", 0,
                                exchange.status());
        }
        throw LauncherError("http_status", L"Сервер обновлений вернул ошибку HTTP.", 0,
                            exchange.status());
    }
    exchange.parse_content_length();
    if (is_foreign_encoding(exchange.content_encoding())) {
        throw LauncherError("content_encoding", words.encoding);
    }
    if (partial) {
        return accept_partial_answer(exchange, download, request, words);
    }
    const std::optional<std::uint64_t>& length = exchange.content_length();
    if (length && download.size != 0 && *length != download.size) {
        throw LauncherError(words.length_stage, words.wrong_length);
    }
    if (length && *length > request.max_body) {
        throw LauncherError(words.limit_stage, words.too_long);
    }
    download.held = 0;  // the server could not continue: all of it again
    download.etag = answer_etag(exchange);
    return length.value_or(0);
}

// Streams the body after the held bytes, the writes running beside the network reads.
// `download.held` and `received` follow what the file holds, also when it throws.
void stream_body(WinHttpExchange& exchange, const HttpRequest& request, HANDLE file,
                 FileDownload& download, std::uint64_t total, std::uint64_t& received) {
    const DownloadWords& words = words_of(download.kind);
    const std::uint64_t start = download.held;
    const std::uint64_t limit = total != 0 ? total : request.max_body;
    ChunkWriter writer(file, network_read_size, words.write_stage);
    try {
        for (;;) {
            ChunkWriter::Buffer buffer = writer.take_buffer();
            const DWORD read = exchange.read(buffer.data(), network_read_size);
            if (read == 0) {
                break;
            }
            if (start + received + read > limit) {
                throw LauncherError(words.limit_stage, words.too_long);
            }
            writer.push(std::move(buffer), read);
            received += read;
            if (exchange.elapsed_ms() > request.deadline_ms) {
                throw make_transport_error("timeout", ERROR_WINHTTP_TIMEOUT);
            }
        }
        writer.finish();
    } catch (...) {
        // What arrived is kept for the next exchange to continue after; what is counted is
        // what the file holds.
        try {
            writer.finish();
        } catch (...) {
            writer.stop();
        }
        download.held = start + writer.written();
        throw;
    }
    download.held = start + writer.written();
    if (total != 0 && download.held != total) {
        throw LauncherError("truncated_body", words.truncated);
    }
    if (!FlushFileBuffers(file)) {
        throw_win32_error(words.flush_stage, GetLastError());
    }
}

bool is_valid_file_request(const HttpRequest& request, const FileDownload& download) {
    return request.method == "GET" && request.body.empty() && request.max_body >= 1 &&
           request.max_body <= largest_single_download && download.size <= request.max_body &&
           download.held <= request.max_body && !download.path.empty();
}

}  // namespace

void WinHttpTransport::download_file(HttpResponse& response, const HttpRequest& request,
                                     FileDownload& download) {
    WinHttpExchange exchange;
    require_trusted_url(request.url, request.trust);
    if (!is_valid_file_request(request, download)) {
        throw LauncherError("delta_download_contract", L"Неверные параметры загрузки дельты.");
    }
    const UniqueFile file = open_download_file(download, words_of(download.kind));
    HttpRequest sent = request;
    const bool ranged = download.held > 0 && is_strong_etag(download.etag);
    if (ranged) {
        sent.headers[L"Range"] = L"bytes=" + std::to_wstring(download.held) + L"-";
        sent.headers[L"If-Range"] = to_utf16(download.etag);
    } else {
        download.held = 0;
    }
    std::uint64_t received = 0;
    try {
        exchange.send(sent);
        const std::uint64_t total = accept_answer(exchange, download, request, ranged);
        cut_file_at(file.get(), download.held, words_of(download.kind));
        if (download.accepted) {
            download.accepted(download);
        }
        stream_body(exchange, request, file.get(), download, total, received);
    } catch (LauncherError& error) {
        download.received += received;
        exchange.enrich(error, received);
        throw;
    }
    download.received += received;
    response.status = exchange.status();
    response.headers = exchange.headers();
    response.body.clear();
    response.elapsed_ms = exchange.elapsed_ms();
}

}  // namespace vorn
