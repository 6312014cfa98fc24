#include "net/feed_trust.h"

#include <nlohmann/json.hpp>

#include "core/file_probes.h"
#include "core/file_system.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "net/fetch.h"

namespace vorn {
namespace {

using nlohmann::json;

constexpr const char* sequence_schema = "vornell.feed-sequence.v1";
constexpr std::uint64_t largest_sequence_record = 4096;

std::filesystem::path record_path(const FeedTrust& trust) {
    return trust.state_dir / feed_sequence_file_name;
}

// Both kinds' sequences, or zeros for a record that is absent, damaged or another
// client's: losing it costs only the rollback guard until the next accepted document.
std::pair<std::uint64_t, std::uint64_t> read_record(const FeedTrust& trust) {
    try {
        const std::filesystem::path path = record_path(trust);
        if (!file_exists(path)) {
            return {0, 0};
        }
        const json document = read_json_file(path, largest_sequence_record);
        const JsonFields fields("local_state", L"Неверная запись принятых подписей.");
        fields.expect_keys(document, {"schema", "root", "manifest", "release"});
        if (fields.text(fields.member(document, "schema")) != sequence_schema ||
            fields.text(fields.member(document, "root")) != trust.client_key) {
            return {0, 0};
        }
        return {fields.size(document.at("manifest"), UINT64_MAX),
                fields.size(document.at("release"), UINT64_MAX)};
    } catch (const LauncherError&) {
        return {0, 0};
    }
}

void record_sequence(const FeedTrust& trust, SignedKind kind, std::uint64_t sequence) {
    auto [manifest, release] = read_record(trust);
    (kind == SignedKind::manifest ? manifest : release) = sequence;
    ensure_service_directory(trust.state_dir);
    write_json_file(record_path(trust), json{{"schema", sequence_schema},
                                             {"root", trust.client_key},
                                             {"manifest", manifest},
                                             {"release", release}});
}

Bytes fetch_signature(Transport& transport, UrlTrust url_trust, const std::wstring& document_url) {
    HttpResponse response;
    try {
        fetch(response, transport,
              make_request(signature_url(document_url), url_trust, largest_feed_signature), 2);
    } catch (const LauncherError& error) {
        if (error.http_status == 404 || error.http_status == 410) {
            throw LauncherError("feed_unsigned",
                                L"Сервер прислал описание обновления без подписи. "
                                L"Ничего не изменено.",
                                0, error.http_status);
        }
        if (error.stage == "body_limit") {
            throw LauncherError("feed_signature_form",
                                L"Подпись описания обновления повреждена. Ничего не изменено.");
        }
        throw;
    }
    return std::move(response.body);
}

}  // namespace

std::wstring signature_url(const std::wstring& document_url) {
    const std::size_t end = document_url.find_first_of(L"?#");
    if (end == std::wstring::npos) {
        return document_url + L".sig";
    }
    return document_url.substr(0, end) + L".sig" + document_url.substr(end);
}

void require_signed_document(const FeedTrust& trust, Transport& transport, UrlTrust url_trust,
                             const std::wstring& document_url, SignedKind kind, ByteView document) {
    if (trust.keys.empty()) {
        return;
    }
    const FeedSignature signature =
        parse_feed_signature(fetch_signature(transport, url_trust, document_url));
    check_feed_signature(signature, trust.keys, kind, document, utc_now());
    const std::uint64_t highest = accepted_sequence(trust, kind);
    if (signature.sequence < highest) {
        throw LauncherError("feed_rollback",
                            L"Сервер прислал более старое описание обновления, чем уже "
                            L"принятое. Ничего не изменено.");
    }
    if (signature.sequence > highest) {
        record_sequence(trust, kind, signature.sequence);
    }
}

std::uint64_t accepted_sequence(const FeedTrust& trust, SignedKind kind) {
    const auto [manifest, release] = read_record(trust);
    return kind == SignedKind::manifest ? manifest : release;
}

}  // namespace vorn
