#include "net/feed_signature.h"

#include <windows.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/file_probes.h"
#include "core/hex.h"
#include "core/json_fields.h"
#include "core/json_io.h"
#include "core/launcher_error.h"
#include "core/sha256.h"

namespace vorn {
namespace {

using nlohmann::json;

// Whole JSON integers stay exact up to 2^53 - 1 in every reader of the feed tool's output.
constexpr std::uint64_t largest_sequence = 9007199254740991;
constexpr std::uint64_t largest_signed_document = 16777216;
constexpr std::int64_t filetime_of_1970 = 116444736000000000;
constexpr std::int64_t filetime_per_second = 10000000;

const JsonFields& form_fields() {
    static const JsonFields fields("feed_signature_form",
                                   L"Подпись описания обновления повреждена. Ничего не изменено.");
    return fields;
}

std::int64_t seconds_of(const FILETIME& time) {
    const auto ticks =
        static_cast<std::int64_t>(size_from_halves(time.dwHighDateTime, time.dwLowDateTime));
    return (ticks - filetime_of_1970) / filetime_per_second;
}

std::string hex_field(const json& document, const char* key, std::size_t length) {
    const std::string& text = form_fields().text(form_fields().member(document, key));
    if (text.size() != length || !is_lower_hex(text)) {
        form_fields().refuse();
    }
    return text;
}

std::uint64_t whole_field(const json& document, const char* key, std::uint64_t largest) {
    const std::uint64_t value = form_fields().size(form_fields().member(document, key), largest);
    if (value == 0) {
        form_fields().refuse();
    }
    return value;
}

// Digits of the fixed form at the given places, as one number.
std::optional<WORD> digits_at(const std::string& text, std::size_t from, std::size_t count) {
    WORD value = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = static_cast<WORD>(value * 10 + (text[i] - '0'));
    }
    return value;
}

}  // namespace

const char* signed_kind_name(SignedKind kind) noexcept {
    return kind == SignedKind::manifest ? "manifest" : "release";
}

std::optional<std::int64_t> parse_utc_time(const std::string& text) {
    static constexpr std::string_view form = "0000-00-00T00:00:00Z";
    if (text.size() != form.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < form.size(); ++i) {
        if (form[i] != '0' && text[i] != form[i]) {
            return std::nullopt;
        }
    }
    const auto year = digits_at(text, 0, 4), month = digits_at(text, 5, 2),
               day = digits_at(text, 8, 2), hour = digits_at(text, 11, 2),
               minute = digits_at(text, 14, 2), second = digits_at(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) {
        return std::nullopt;
    }
    // A date of the calendar converts there and back to itself; a 29th of February in a
    // common year or a 24th hour does not, whichever way the conversion rolls it.
    const SYSTEMTIME fields{*year, *month, 0, *day, *hour, *minute, *second, 0};
    FILETIME time{};
    SYSTEMTIME back{};
    if (*year < 1970 || !SystemTimeToFileTime(&fields, &time) ||
        !FileTimeToSystemTime(&time, &back) || back.wYear != fields.wYear ||
        back.wMonth != fields.wMonth || back.wDay != fields.wDay || back.wHour != fields.wHour ||
        back.wMinute != fields.wMinute || back.wSecond != fields.wSecond) {
        return std::nullopt;
    }
    return seconds_of(time);
}

std::int64_t utc_now() {
    FILETIME time{};
    GetSystemTimeAsFileTime(&time);
    return seconds_of(time);
}

FeedSignature parse_feed_signature(ByteView bytes) {
    if (bytes.size() > largest_feed_signature) {
        form_fields().refuse();
    }
    json document;
    try {
        document = parse_json_bytes(bytes, "feed_signature_form");
    } catch (const LauncherError&) {
        form_fields().refuse();
    }
    const JsonFields& fields = form_fields();
    fields.expect_keys(
        document, {"schema", "key", "kind", "sha256", "size", "sequence", "expires", "signature"});
    FeedSignature signature;
    signature.kind = fields.text(fields.member(document, "kind"));
    signature.expires = fields.text(fields.member(document, "expires"));
    const auto expires_at = parse_utc_time(signature.expires);
    if (fields.text(fields.member(document, "schema")) != feed_signature_schema ||
        (signature.kind != "manifest" && signature.kind != "release") || !expires_at) {
        fields.refuse();
    }
    signature.expires_at = *expires_at;
    signature.key_id = hex_field(document, "key", 16);
    signature.sha256 = hex_field(document, "sha256", 64);
    signature.size = whole_field(document, "size", largest_signed_document);
    signature.sequence = whole_field(document, "sequence", largest_sequence);
    signature.signature = hex_array<64>(hex_field(document, "signature", 128));
    return signature;
}

std::string signed_message(const FeedSignature& signature) {
    std::string message;
    for (const std::string& line :
         {std::string(feed_signature_schema), signature.key_id, signature.kind, signature.sha256,
          std::to_string(signature.size), std::to_string(signature.sequence), signature.expires}) {
        message += line;
        message += '\n';
    }
    return message;
}

void check_feed_signature(const FeedSignature& signature, std::span<const FeedKey> keys,
                          SignedKind kind, ByteView document, std::int64_t now) {
    const auto key = std::find_if(keys.begin(), keys.end(), [&](const FeedKey& candidate) {
        return candidate.id == signature.key_id;
    });
    if (key == keys.end()) {
        throw LauncherError("feed_key_unknown",
                            L"Описание обновления подписано неизвестным ключом. "
                            L"Ничего не изменено.");
    }
    const std::string message = signed_message(signature);
    if (!verify_p256_signature(
            key->key,
            ByteView(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()),
            signature.signature)) {
        throw LauncherError("feed_signature_bad",
                            L"Подпись описания обновления неверна. Ничего не изменено.");
    }
    if (signature.kind != signed_kind_name(kind)) {
        throw LauncherError("feed_kind_mismatch",
                            L"Подпись относится к другому документу. Ничего не изменено.");
    }
    if (signature.size != document.size() || signature.sha256 != sha256_bytes(document)) {
        throw LauncherError("feed_document_mismatch",
                            L"Описание обновления не совпадает со своей подписью. "
                            L"Повторите попытку позже.");
    }
    if (now >= signature.expires_at) {
        throw LauncherError("feed_expired",
                            L"Срок подписи описания обновления истёк. Проверьте дату и время "
                            L"на компьютере: если они неверны, исправьте их и повторите "
                            L"попытку; если верны, повторите попытку позже.");
    }
}

}  // namespace vorn
