// testtool import-ca: puts a private test CA into the prefix's LocalMachine "Root" store, so that WinHTTP
// trusts the loopback HTTPS server without touching the host's trust store.
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "support/handles.h"
#include "support/files.h"
#include "testtool.h"

namespace {

struct CertStoreTraits {
  using Handle = HCERTSTORE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::CertCloseStore(h, 0); }
};
using UniqueCertStore = UniqueHandle<CertStoreTraits>;

// A PEM file becomes its DER bytes; anything else is taken as DER already.
bool ToDer(const unsigned char* data, unsigned long long size, std::string& der) {
  const std::string text(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
  if (text.find("-----BEGIN") == std::string::npos) {
    der = text;
    return true;
  }
  DWORD bytes = 0;
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &bytes,
                            nullptr, nullptr)) {
    return false;
  }
  der.assign(bytes, '\0');
  return CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE*>(&der[0]), &bytes, nullptr, nullptr) != FALSE;
}

}  // namespace

int ImportCaCommand(ToolArgs args) {
  if (args.size() != 1) return UsageFailure(L"import-ca FILE");
  Result<std::vector<unsigned char>> data = ReadAllBytes(args[0]);
  if (!data) return SystemFailure(L"reading the certificate file", data.error());
  std::string der;
  if (!ToDer(data.value.data(), data.value.size(), der)) return SystemFailure(L"CryptStringToBinaryA", GetLastError());
  UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  if (!store) return SystemFailure(L"CertOpenStore (LocalMachine Root)", GetLastError());
  if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                        reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    return SystemFailure(L"CertAddEncodedCertificateToStore", GetLastError());
  }
  return kToolOk;
}
