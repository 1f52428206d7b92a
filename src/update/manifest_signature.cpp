// Manifest signatures.
#include "update/manifest_signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "support/base64.h"
#include "support/handles.h"
#include "support/system_dll.h"
#include "update/sha256.h"

namespace {

constexpr size_t kCoordinateBytes = 32;

// SubjectPublicKeyInfo of an id-ecPublicKey on prime256v1, up to the uncompressed point's 0x04.
constexpr unsigned char kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                             0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                             0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// One DER INTEGER at der[at], copied right-aligned into out (32 bytes); at moves past it.
bool ReadInteger(const std::vector<unsigned char>& der, size_t& at, unsigned char* out) {
  if (at + 2 > der.size() || der[at] != 0x02) return false;
  size_t length = der[at + 1];
  at += 2;
  if (length == 0 || length > kCoordinateBytes + 1 || at + length > der.size()) return false;
  const unsigned char* value = &der[at];
  at += length;
  if (value[0] & 0x80) return false;  // negative
  if (value[0] == 0) {
    // A leading zero only where the next byte would otherwise read as a sign.
    if (length == 1 || (value[1] & 0x80) == 0) return false;
    ++value;
    --length;
  }
  if (length > kCoordinateBytes) return false;
  std::memset(out, 0, kCoordinateBytes);
  std::memcpy(out + kCoordinateBytes - length, value, length);
  return true;
}

SignatureCheck Verify(const std::array<unsigned char, 64>& point, const Sha256Digest& digest,
                      const std::array<unsigned char, 64>& signature) {
  const BcryptApi& api = Bcrypt();
  if (api.loadError != ERROR_SUCCESS) return SignatureCheck::kCryptoFailed;
  UniqueBcryptAlgorithm algorithm;
  if (api.openAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
    return SignatureCheck::kCryptoFailed;
  }
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size());
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(kCoordinateBytes)};
  std::memcpy(blob.data(), &header, sizeof(header));
  std::memcpy(blob.data() + sizeof(header), point.data(), point.size());
  UniqueBcryptKey key;
  if (api.importKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob.data(),
                        static_cast<ULONG>(blob.size()), 0) < 0) {
    return SignatureCheck::kKeyUnusable;
  }
  const NTSTATUS verified =
      api.verifySignature(key.get(), nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
                          const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), 0);
  return verified >= 0 ? SignatureCheck::kValid : SignatureCheck::kMismatch;
}

}  // namespace

SignatureLine SplitSignatureLine(const std::string& body) {
  SignatureLine split;
  split.signedPart = body;
  // Where each line starts: at 0 and after every line feed.
  std::vector<size_t> starts{0};
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\n') starts.push_back(i + 1);
  }
  for (size_t k = starts.size(); k-- > 0;) {
    const size_t start = starts[k];
    const size_t stop = k + 1 < starts.size() ? starts[k + 1] - 1 : body.size();
    std::string line = body.substr(start, stop - start);
    while (!line.empty() && IsBlank(line.back())) line.pop_back();
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (line.compare(0, sizeof(kSignaturePrefix) - 1, kSignaturePrefix) == 0) {
      split.found = true;
      split.signedPart = body.substr(0, start);
      split.value = line.substr(sizeof(kSignaturePrefix) - 1);
    }
    break;
  }
  return split;
}

Result<std::array<unsigned char, 64>> SignatureFromDer(const std::vector<unsigned char>& der) {
  // SEQUENCE with a short length that covers the rest exactly.
  if (der.size() < 2 || der[0] != 0x30 || der[1] >= 0x80 || der[1] + 2u != der.size()) {
    return Status::Failure(ERROR_INVALID_DATA);
  }
  std::array<unsigned char, 64> raw{};
  size_t at = 2;
  if (!ReadInteger(der, at, raw.data()) || !ReadInteger(der, at, raw.data() + kCoordinateBytes) || at != der.size()) {
    return Status::Failure(ERROR_INVALID_DATA);
  }
  return raw;
}

Result<std::array<unsigned char, 64>> PublicKeyFromSpki(const std::vector<unsigned char>& spki) {
  constexpr size_t kPrefix = sizeof(kP256SpkiPrefix);
  if (spki.size() != kPrefix + 64 || std::memcmp(spki.data(), kP256SpkiPrefix, kPrefix) != 0) {
    return Status::Failure(ERROR_INVALID_DATA);
  }
  std::array<unsigned char, 64> point{};
  std::memcpy(point.data(), spki.data() + kPrefix, point.size());
  return point;
}

CheckedManifest CheckManifestSignature(const std::string& body, const std::string& publicKey) {
  CheckedManifest checked;
  const SignatureLine line = SplitSignatureLine(body);
  checked.signedPart = line.signedPart;
  if (!line.found) {
    checked.check = SignatureCheck::kMissing;
    return checked;
  }
  Result<std::vector<unsigned char>> der = DecodeBase64(line.value);
  Result<std::array<unsigned char, 64>> signature = der ? SignatureFromDer(der.value) : der.status;
  if (!signature) {
    checked.check = SignatureCheck::kMalformed;
    return checked;
  }
  Result<std::vector<unsigned char>> spki = DecodeBase64(publicKey);
  Result<std::array<unsigned char, 64>> point = spki ? PublicKeyFromSpki(spki.value) : spki.status;
  if (!point) {
    checked.check = SignatureCheck::kKeyUnusable;
    return checked;
  }
  Sha256Hasher hasher;
  hasher.Add(line.signedPart.data(), line.signedPart.size());
  Result<Sha256Digest> digest = hasher.Finish();
  checked.check = digest ? Verify(point.value, digest.value, signature.value) : SignatureCheck::kCryptoFailed;
  return checked;
}

const wchar_t* SignatureCheckText(SignatureCheck check) {
  switch (check) {
    case SignatureCheck::kValid:
      return L"签名有效";
    case SignatureCheck::kMissing:
      return L"没有签名行";
    case SignatureCheck::kMalformed:
      return L"签名行格式不对";
    case SignatureCheck::kMismatch:
      return L"签名与发布者公钥不符";
    case SignatureCheck::kKeyUnusable:
      return L"内置的发布者公钥不可用";
    case SignatureCheck::kCryptoFailed:
      break;
  }
  return L"系统无法校验签名";
}
