// SHA-256 over bcrypt, written out as lower-case hexadecimal text.
#include "update/sha256.h"

#include <bcrypt.h>

#include <vector>

#include "support/system_dll.h"

namespace {

constexpr ULONG kMaxChunk = 0x80000000UL;  // BCryptHashData takes a 32-bit length
constexpr DWORD kReadChunk = 1 << 20;

Status FromNtStatus(NTSTATUS status) {
  return status >= 0 ? Status::Success() : Status::Failure(static_cast<unsigned long>(status));
}

}  // namespace

Sha256Hasher::Sha256Hasher() {
  const BcryptApi& api = Bcrypt();
  if (api.loadError != ERROR_SUCCESS) {
    status_ = Status::Failure(api.loadError);
    return;
  }
  status_ = FromNtStatus(api.openAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0));
  if (status_) status_ = FromNtStatus(api.createHash(algorithm_.get(), hash_.put(), nullptr, 0, nullptr, 0, 0));
}

void Sha256Hasher::Add(const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (status_ && size > 0) {
    const ULONG chunk = size > kMaxChunk ? kMaxChunk : static_cast<ULONG>(size);
    status_ = FromNtStatus(Bcrypt().hashData(hash_.get(), const_cast<PUCHAR>(bytes), chunk, 0));
    bytes += chunk;
    size -= chunk;
  }
}

Result<Sha256Digest> Sha256Hasher::Finish() {
  if (!status_) return status_;
  Sha256Digest digest{};
  status_ = FromNtStatus(Bcrypt().finishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
  if (!status_) return status_;
  return digest;
}

std::string HexDigest(const Sha256Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (unsigned char byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0F]);
  }
  return text;
}

std::string Sha256Hex(const unsigned char* data, size_t size) {
  Sha256Hasher hasher;
  hasher.Add(data, size);
  Result<Sha256Digest> digest = hasher.Finish();
  return digest ? HexDigest(digest.value) : std::string();
}

Result<FileHash> HashFile(HANDLE file) {
  Sha256Hasher hasher;
  FileHash hashed;
  std::vector<unsigned char> buffer(kReadChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), kReadChunk, &got, nullptr)) return Status::LastError();
    if (got == 0) break;
    hasher.Add(buffer.data(), got);
    hashed.bytes += got;
  }
  Result<Sha256Digest> digest = hasher.Finish();
  if (!digest) return digest.status;
  hashed.hex = HexDigest(digest.value);
  return hashed;
}
