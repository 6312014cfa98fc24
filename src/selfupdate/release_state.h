// The launcher's own release state files and the checks of a program file on disk.
#pragma once

#include <filesystem>
#include <string>

namespace vorn {

inline constexpr const wchar_t* failed_digest_file_name = L"self-update-failed-sha-v2.txt";
inline constexpr const wchar_t* blocked_digest_file_name = L"self-update-blocked-sha-v2.txt";

// A digest file of at most 256 bytes without its trailing CR and LF; "" for a missing,
// unreadable or oversized file. Never throws.
std::string read_digest_file(const std::filesystem::path& path);

// Authenticode through WinVerifyTrust, no UI, no revocation, cached URLs only: a trusted
// signature passes, and so does no signature at all; a present but untrusted or broken
// signature fails. Never throws.
bool verify_signature(const std::filesystem::path& path);

// What WinVerifyTrust says of the file, with the settings above: 0 for a trusted signature,
// TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST for a file changed after signing, and so on.
long signature_trust_result(const std::filesystem::path& path);

// The path in double quotes; one holding a double quote throws LauncherError
// ("self_update_spawn").
std::wstring quote_path(const std::filesystem::path& path);

}  // namespace vorn
