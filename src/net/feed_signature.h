// The detached signature document of a feed document ("manifest.json.sig" beside
// "manifest.json"): its strict reader, the text the project's key signs, and the check of
// one signature against the keys the build carries.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/bytes.h"
#include "core/ecdsa_p256.h"
#include "core/feed_key.h"

namespace vorn {

inline constexpr std::uint64_t largest_feed_signature = 4096;
inline constexpr std::size_t most_feed_keys = 3;
inline constexpr const char* feed_signature_schema = "vornell.feed-signature.v1";

// What a signature says its document is: one kind can never stand in for the other.
enum class SignedKind { manifest, release };
const char* signed_kind_name(SignedKind kind) noexcept;

struct FeedSignature {
    std::string key_id;
    std::string kind;
    std::string sha256;
    std::uint64_t size = 0;
    std::uint64_t sequence = 0;
    std::string expires;          // "YYYY-MM-DDTHH:MM:SSZ"
    std::int64_t expires_at = 0;  // seconds since 1970-01-01 UTC
    P256Signature signature{};
};

// Exactly the keys of the form, each within its bounds; anything else, a document over
// `largest_feed_signature` or text that is not strict JSON is "feed_signature_form".
FeedSignature parse_feed_signature(ByteView bytes);

// The seven lines the key signs: the schema, then every field but the signature.
std::string signed_message(const FeedSignature& signature);

// Seconds since 1970-01-01 UTC of "YYYY-MM-DDTHH:MM:SSZ"; none for any other text or a
// date that does not exist.
std::optional<std::int64_t> parse_utc_time(const std::string& text);
// The current UTC time in the same seconds.
std::int64_t utc_now();

// Refuses, in this order: a key the build does not carry ("feed_key_unknown"), a signature
// that does not verify ("feed_signature_bad"), another kind of document
// ("feed_kind_mismatch"), another document ("feed_document_mismatch") and a signature whose
// expiry `now` has reached ("feed_expired").
void check_feed_signature(const FeedSignature& signature, std::span<const FeedKey> keys,
                          SignedKind kind, ByteView document, std::int64_t now);

}  // namespace vorn
