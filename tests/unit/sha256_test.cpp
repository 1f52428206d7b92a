// SHA-256 over bcrypt against the standard test vectors.
#include "update/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string HashText(const std::string& text) {
  return Sha256Hex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace

TEST(Sha256Test, KnownVectors) {
  EXPECT_EQ(HashText(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HashText("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HashText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(HashText(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, BinaryBytesIncludingZeros) {
  std::vector<unsigned char> bytes(256);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
  // sha256sum of the bytes 0x00..0xff.
  EXPECT_EQ(Sha256Hex(bytes.data(), bytes.size()), "40aff2e9d2d8922e47afd4648e6967497158785fbd1da870e7110266bf944880");
}
