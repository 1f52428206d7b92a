// Base64 decoding.
#include "support/base64.h"

namespace {

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

Result<std::vector<unsigned char>> DecodeBase64(const std::string& text) {
  if (text.size() % 4 != 0) return Status::Failure(ERROR_INVALID_DATA);
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::vector<unsigned char> bytes;
  bytes.reserve(text.size() / 4 * 3);
  unsigned long group = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const int sextet = SextetOf(text[i]);
    if (sextet < 0) return Status::Failure(ERROR_INVALID_DATA);
    group = (group << 6) | static_cast<unsigned long>(sextet);
    if (i % 4 == 3) {
      bytes.push_back(static_cast<unsigned char>(group >> 16));
      bytes.push_back(static_cast<unsigned char>(group >> 8));
      bytes.push_back(static_cast<unsigned char>(group));
      group = 0;
    }
  }
  // The last group of a padded text: 18 bits for one '=', 12 for two.
  if (padding == 1) {
    bytes.push_back(static_cast<unsigned char>(group >> 10));
    bytes.push_back(static_cast<unsigned char>(group >> 2));
  } else if (padding == 2) {
    bytes.push_back(static_cast<unsigned char>(group >> 4));
  }
  return bytes;
}
