// Makes the loopback test certificate authority a trusted root of the Wine prefix the
// tests run in, and takes it out again.
//
//   test_root_store trust CA.der   replace every earlier test CA by this one
//   test_root_store untrust        remove every test CA
//
// It works on the LocalMachine ROOT store, which Wine keeps in the prefix's registry
// (HKLM\Software\Microsoft\SystemCertificates\Root) and which a new process's chain
// engine reads, so WinHTTP in the test processes trusts the CA. Outside Wine it changes
// nothing: a real machine's roots are not the tests' to touch, and the tests that need the
// CA skip there.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/unique_handle.h"
#include "support/cert_store.h"

namespace {

// Only certificates with exactly this subject (the one tls_front_ctl.sh gives its CA) are
// ever added or removed.
constexpr wchar_t test_ca_subject[] = L"CN=Vornell loopback test CA";

using vorn::test::UniqueCert;
using vorn::test::UniqueStore;

int fail(const char* what) {
    std::fprintf(stderr, "test_root_store: %s (error %lu)\n", what, GetLastError());
    return 1;
}

bool running_under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Compared as text: the same name may be encoded as a PrintableString or a UTF8String.
bool is_test_ca(PCCERT_CONTEXT cert) {
    wchar_t subject[256] = {};
    CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, subject,
                   static_cast<DWORD>(std::size(subject)));
    return std::wcscmp(subject, test_ca_subject) == 0;
}

UniqueStore open_machine_root() {
    return UniqueStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
}

// Deletes every test CA from the store; returns how many, or -1 on failure. The matches
// are collected first: deleting during the enumeration makes Wine's enumeration restart.
int remove_test_cas(HCERTSTORE store) {
    std::vector<PCCERT_CONTEXT> doomed;
    for (PCCERT_CONTEXT cert = nullptr;
         (cert = CertEnumCertificatesInStore(store, cert)) != nullptr;) {
        if (is_test_ca(cert)) {
            doomed.push_back(CertDuplicateCertificateContext(cert));
        }
    }
    int removed = 0;
    for (const PCCERT_CONTEXT cert : doomed) {
        // Deleting frees the context, whether it succeeds or not.
        if (CertDeleteCertificateFromStore(cert)) {
            ++removed;
        }
    }
    return removed == static_cast<int>(doomed.size()) ? removed : -1;
}

// Writes the changes to the registry now: Wine flushes a system store only when its last
// reference goes, and deleting from it leaves one behind until the process ends.
bool commit(HCERTSTORE store) {
    return CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

int trust(std::string der_path) {
    if (!der_path.empty() && der_path.front() == '/') {
        der_path = "Z:" + der_path;  // Wine shows the Linux root as drive Z:
    }
    std::ifstream in(der_path, std::ios::binary);
    const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
    if (!in.is_open() || der.empty()) {
        std::fprintf(stderr, "test_root_store: cannot read %s\n", der_path.c_str());
        return 1;
    }
    UniqueCert ca(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                               static_cast<DWORD>(der.size())));
    if (!ca) {
        return fail("not a DER certificate");
    }
    if (!is_test_ca(ca.get())) {
        std::fprintf(stderr, "test_root_store: refusing a certificate whose subject is not %ls\n",
                     test_ca_subject);
        return 1;
    }
    const UniqueStore root = open_machine_root();
    if (!root) {
        return fail("cannot open the LocalMachine ROOT store");
    }
    if (remove_test_cas(root.get()) < 0) {
        return fail("cannot remove an earlier test CA");
    }
    if (!CertAddCertificateContextToStore(root.get(), ca.get(), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr)) {
        return fail("cannot add the test CA to the LocalMachine ROOT store");
    }
    if (!commit(root.get())) {
        return fail("cannot write the LocalMachine ROOT store");
    }
    std::printf("test_root_store: test CA trusted\n");
    return 0;
}

int untrust() {
    const UniqueStore root = open_machine_root();
    if (!root) {
        return fail("cannot open the LocalMachine ROOT store");
    }
    const int removed = remove_test_cas(root.get());
    if (removed < 0) {
        return fail("cannot remove the test CA");
    }
    if (!commit(root.get())) {
        return fail("cannot write the LocalMachine ROOT store");
    }
    std::printf("test_root_store: %d test CA(s) removed\n", removed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (!((command == "trust" && argc == 3) || (command == "untrust" && argc == 2))) {
        std::fprintf(stderr, "usage: test_root_store trust CA.der | untrust\n");
        return 2;
    }
    if (!running_under_wine()) {
        std::printf("test_root_store: not under Wine, the machine's roots are left alone\n");
        return 0;
    }
    return command == "trust" ? trust(argv[2]) : untrust();
}
