// Owners of the certificate store handles the HTTPS tests and the root-store helper use.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include "core/unique_handle.h"

namespace vorn::test {

inline void close_cert_store(HCERTSTORE store) noexcept {
    CertCloseStore(store, 0);
}

using UniqueStore = UniqueHandle<ClosedBy<HCERTSTORE, close_cert_store>>;
using UniqueCert = UniqueHandle<ClosedBy<PCCERT_CONTEXT, CertFreeCertificateContext>>;

}  // namespace vorn::test
