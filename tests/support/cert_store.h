// Owners of the certificate store handles the HTTPS tests and the root-store helper use.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include "core/unique_handle.h"

namespace vorn::test {

struct CertStoreTraits {
    using type = HCERTSTORE;
    static type invalid() noexcept { return nullptr; }
    static void close(type store) noexcept { CertCloseStore(store, 0); }
};

struct CertContextTraits {
    using type = PCCERT_CONTEXT;
    static type invalid() noexcept { return nullptr; }
    static void close(type cert) noexcept { CertFreeCertificateContext(cert); }
};

using UniqueStore = UniqueHandle<CertStoreTraits>;
using UniqueCert = UniqueHandle<CertContextTraits>;

}  // namespace vorn::test
