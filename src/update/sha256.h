// SHA-256 through the system's bcrypt provider: of a buffer, or of everything a file handle reads.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <string>

#include "support/handles.h"
#include "support/result.h"

using Sha256Digest = std::array<unsigned char, 32>;

// Hashes data given in pieces. Every failure of the provider is kept and reported by Finish.
class Sha256Hasher {
 public:
  Sha256Hasher();
  void Add(const void* data, size_t size);
  Result<Sha256Digest> Finish();

 private:
  UniqueBcryptAlgorithm algorithm_;
  UniqueBcryptHash hash_;  // declared after the provider, so it is destroyed first
  Status status_ = Status::Success();
};

// 64 lower-case hexadecimal digits.
std::string HexDigest(const Sha256Digest& digest);

// 64 lower-case hexadecimal digits, or empty text when the hashing service fails.
[[nodiscard]] std::string Sha256Hex(const unsigned char* data, size_t size);

// What a file held open reads, from its current position to its end.
struct FileHash {
  std::string hex;  // 64 lower-case hexadecimal digits
  unsigned long long bytes = 0;
};
Result<FileHash> HashFile(HANDLE file);
