// SHA-256 over bcrypt, written out as lower-case hexadecimal text.
#include "update/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include "support/handles.h"

namespace {

constexpr ULONG kDigestBytes = 32;
constexpr ULONG kMaxChunk = 0x80000000UL;  // BCryptHashData takes a 32-bit length

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

std::string Sha256Hex(const unsigned char* data, size_t size) {
  UniqueBcryptAlgorithm algorithm;
  if (!Succeeded(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
  // The destroy-before-close order holds because hash is declared after algorithm.
  UniqueBcryptHash hash;
  if (!Succeeded(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) return {};
  // Downloads are capped at 64 MiB, so this is one call; larger buffers go in 2 GiB pieces.
  while (size > 0) {
    const ULONG chunk = size > kMaxChunk ? kMaxChunk : static_cast<ULONG>(size);
    if (!Succeeded(BCryptHashData(hash.get(), const_cast<PUCHAR>(data), chunk, 0))) return {};
    data += chunk;
    size -= chunk;
  }
  unsigned char digest[kDigestBytes] = {};
  if (!Succeeded(BCryptFinishHash(hash.get(), digest, kDigestBytes, 0))) return {};

  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(kDigestBytes * 2);
  for (unsigned char byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0F]);
  }
  return text;
}
