#include "core/ecdsa_p256.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "core/hex.h"
#include "core/launcher_error.h"
#include "core/sha256.h"
#include "core/unique_handle.h"

namespace vorn {
namespace {

using UniqueBcryptKey = UniqueHandle<ClosedBy<BCRYPT_KEY_HANDLE, BCryptDestroyKey>>;

// The statuses BCrypt gives for a signature that does not match, or one that is not a
// signature at all (ntstatus.h is not part of the headers windows.h brings in).
constexpr NTSTATUS invalid_signature_status = static_cast<NTSTATUS>(0xC000A000L);
constexpr NTSTATUS invalid_parameter_status = static_cast<NTSTATUS>(0xC000000DL);

BCRYPT_ALG_HANDLE ecdsa_provider() {
    static const UniqueBcryptAlgorithm provider = [] {
        UniqueBcryptAlgorithm opened;
        if (BCryptOpenAlgorithmProvider(opened.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) <
            0) {
            throw LauncherError("crypto", L"Не удалось открыть проверку подписи.");
        }
        return opened;
    }();
    return provider.get();
}

// A key that is not a point of the curve is refused by the import: such a key verifies
// nothing.
UniqueBcryptKey import_public_key(const P256PublicKey& key) {
    std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), key.data(), key.size());
    UniqueBcryptKey handle;
    BCryptImportKeyPair(ecdsa_provider(), nullptr, BCRYPT_ECCPUBLIC_BLOB, handle.put(), blob.data(),
                        static_cast<ULONG>(blob.size()), 0);
    return handle;
}

}  // namespace

bool verify_p256_signature(const P256PublicKey& key, ByteView message,
                           const P256Signature& signature) {
    const UniqueBcryptKey handle = import_public_key(key);
    if (!handle) {
        return false;
    }
    Bytes digest = from_hex(sha256_bytes(message));
    P256Signature copy = signature;  // BCrypt takes non-const buffers
    const NTSTATUS status = BCryptVerifySignature(handle.get(), nullptr, digest.data(),
                                                  static_cast<ULONG>(digest.size()), copy.data(),
                                                  static_cast<ULONG>(copy.size()), 0);
    if (status >= 0) {
        return true;
    }
    if (status == invalid_signature_status || status == invalid_parameter_status) {
        return false;
    }
    throw LauncherError("crypto", L"Не удалось проверить подпись.", static_cast<DWORD>(status));
}

}  // namespace vorn
