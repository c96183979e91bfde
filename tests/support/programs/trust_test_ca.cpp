// Adds a PEM certificate to the current user's trusted roots in the Wine
// prefix it runs in, so WinHTTP accepts the test server. Silent: the
// current user's ROOT store of a Wine prefix asks nothing.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace {
void CloseStore(HCERTSTORE store) { CertCloseStore(store, 0); }
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trust-test-ca <ca.pem>\n");
    return 2;
  }
  common::UniqueFile file(
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    std::fprintf(stderr, "cannot open the certificate (win32 %lu)\n", GetLastError());
    return 1;
  }
  std::string pem(1 << 16, '\0');
  DWORD read = 0;
  if (!ReadFile(file.get(), &pem[0], static_cast<DWORD>(pem.size()), &read, nullptr)) return 1;
  pem.resize(read);

  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                            nullptr, nullptr)) {
    std::fprintf(stderr, "not a PEM certificate (win32 %lu)\n", GetLastError());
    return 1;
  }
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                            nullptr, nullptr)) {
    return 1;
  }
  common::UniqueHandle<HCERTSTORE, &CloseStore> store(CertOpenSystemStoreW(0, L"ROOT"));
  if (!store) {
    std::fprintf(stderr, "cannot open the ROOT store (win32 %lu)\n", GetLastError());
    return 1;
  }
  if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    std::fprintf(stderr, "cannot add the certificate (win32 %lu)\n", GetLastError());
    return 1;
  }
  std::printf("test CA trusted in this prefix\n");
  return 0;
}
