#include "selfupdate/code_signature.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstddef>

#include "core/sha256.h"
#include "core/unique_handle.h"

namespace vorn {
namespace {

// One WinVerifyTrust verification; its state (the signer it read) lives until the object
// ends, when the second call with the close action frees it.
class TrustVerdict {
  public:
    explicit TrustVerdict(const std::filesystem::path& path) {
        file_.cbStruct = sizeof(file_);
        file_.pcwszFilePath = path.c_str();
        // The record as far as the UI context: the signature settings of later Windows
        // versions are not used, and the size tells WinVerifyTrust so.
        data_.cbStruct = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(data_.dwUIContext);
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
        result_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    ~TrustVerdict() {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    TrustVerdict(const TrustVerdict&) = delete;
    TrustVerdict& operator=(const TrustVerdict&) = delete;

    LONG result() const { return result_; }

    // The certificate that signed the file, as the verification read it.
    PCCERT_CONTEXT signer() const {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* cert = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        return cert ? cert->pCert : nullptr;
    }

  private:
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result_ = 0;
};

std::optional<std::string> public_key_digest(PCCERT_CONTEXT certificate) {
    BYTE* encoded = nullptr;
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                             &certificate->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG,
                             nullptr, &encoded, &size)) {
        return std::nullopt;
    }
    const UniqueLocalMemory owned(encoded);
    return sha256_bytes(ByteView(encoded, size));
}

}  // namespace

long signature_trust_result(const std::filesystem::path& path) {
    return TrustVerdict(path).result();
}

bool verify_signature(const std::filesystem::path& path) {
    const long result = signature_trust_result(path);
    return result == 0 || result == static_cast<long>(TRUST_E_NOSIGNATURE);
}

std::optional<std::string> signer_key_digest(const std::filesystem::path& path) {
    try {
        const TrustVerdict verdict(path);
        const PCCERT_CONTEXT signer = verdict.result() == 0 ? verdict.signer() : nullptr;
        return signer ? public_key_digest(signer) : std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

bool is_trusted_program(const std::filesystem::path& path, std::span<const std::string> pins) {
    if (pins.empty()) {
        return verify_signature(path);
    }
    const auto digest = signer_key_digest(path);
    return digest && std::find(pins.begin(), pins.end(), *digest) != pins.end();
}

}  // namespace vorn
