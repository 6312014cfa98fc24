// The code-signature checks of the programs the launcher downloads and starts.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace vorn {

// Authenticode through WinVerifyTrust, no UI, no revocation, cached URLs only: a trusted
// signature passes, and so does no signature at all; a present but untrusted or broken
// signature fails. Never throws.
bool verify_signature(const std::filesystem::path& path);

// What WinVerifyTrust says of the file, with the settings above: 0 for a trusted signature,
// TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST for a file changed after signing, and so on.
long signature_trust_result(const std::filesystem::path& path);

// The SHA-256 (lower-case hex) of the DER SubjectPublicKeyInfo of the certificate that
// signed the file, when WinVerifyTrust accepts its signature; none for an unsigned file or
// one whose signature it refuses. Never throws.
std::optional<std::string> signer_key_digest(const std::filesystem::path& path);

// The check a downloaded launcher or updater must pass. Without pins: verify_signature.
// With pins (the project's code-signing keys, a build value): a trusted signature by a
// certificate whose public key is one of them; unsigned files and other signers fail.
// Never throws.
bool is_trusted_program(const std::filesystem::path& path, std::span<const std::string> pins);

}  // namespace vorn
