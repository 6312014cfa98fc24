// The feed's trust as a deployment choice: with the project's keys built in, a feed
// document is used only with a valid, current, not rolled-back signature beside it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "net/feed_signature.h"
#include "net/http.h"
#include "net/url_policy.h"

namespace vorn {

inline constexpr const wchar_t* feed_sequence_file_name = L"feed-sequence-v1.json";

struct FeedTrust {
    std::vector<FeedKey> keys;        // none: every document is read as it comes
    std::filesystem::path state_dir;  // the client's service folder
    std::string client_key;           // the record of accepted sequences is bound to it
};

// The address of a document's signature: ".sig" after its path, before any query.
std::wstring signature_url(const std::wstring& document_url);

// Nothing without keys. Otherwise fetches the signature beside `document_url`, checks it
// (check_feed_signature), refuses a sequence below the highest this client accepted
// ("feed_rollback") and records the sequence. No signature on the server is
// "feed_unsigned"; a transport failure travels as it is. Throws LauncherError.
void require_signed_document(const FeedTrust& trust, Transport& transport, UrlTrust url_trust,
                             const std::wstring& document_url, SignedKind kind, ByteView document);

// The highest sequence of `kind` this client accepted: 0 when none was recorded, or when
// the record is unreadable or belongs to another client.
std::uint64_t accepted_sequence(const FeedTrust& trust, SignedKind kind);

}  // namespace vorn
