// Manifest signatures: splitting off the signature line, decoding it and the key, and checking real
// signatures made with `openssl dgst -sha256 -sign` by the test keys in tests/keys.
#include "update/manifest_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/base64.h"

namespace {

// tests/keys/publisher-test.pub.pem, without its frame and line breaks.
const std::string kPublisherKey =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEw5oABYULVTyol1ZqNKhNX4223397oGbyqYn8azk7WQGqT24lv9TLi1e1T93pliY70uztWFqNSnej"
    "klRHBGyP4w==";
const std::string kBody =
    "version=9.0.0.0\nurl=OKAVU-9.0.0.0.exe\nsha256=2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824\n"
    "size=5\n";
// kBody signed by tests/keys/publisher-test.pem and by tests/keys/other-test.pem.
const std::string kPublisherSignature =
    "MEUCIQDTX80pu2zVSp0xBG2uwUNycm/zMaEs496d2T9hSqosdwIgPssp4v4ctelp+8Cg5mGidi+7zu2KyQagA63QfgX9hus=";
const std::string kOtherSignature =
    "MEUCIEWaiLK+ejQiHzBA2gyBvc30akzCWLFGK62DuCOHW/EWAiEArRIzUsub+cP6r9kNZsxntYboK3jadPq450/nwj4E62k=";

std::vector<unsigned char> Bytes(std::initializer_list<int> values) {
  std::vector<unsigned char> bytes;
  for (int v : values) bytes.push_back(static_cast<unsigned char>(v));
  return bytes;
}

TEST(SignatureLine, IsTheLastNonEmptyLineAndCoversEveryByteBeforeIt) {
  const SignatureLine plain = SplitSignatureLine(kBody + "signature=QUJD\n\n  \r\n");
  EXPECT_TRUE(plain.found);
  EXPECT_EQ(plain.signedPart, kBody);
  EXPECT_EQ(plain.value, "QUJD");
  // CRLF lines: the CR and blanks at the end of the signature line are not part of the value.
  const SignatureLine crlf = SplitSignatureLine("a=1\r\nsignature=QUJD \r\n");
  EXPECT_EQ(crlf.signedPart, "a=1\r\n");
  EXPECT_EQ(crlf.value, "QUJD");
  // Without a final line feed, and as the only line.
  EXPECT_EQ(SplitSignatureLine("a=1\nsignature=x").signedPart, "a=1\n");
  EXPECT_EQ(SplitSignatureLine("signature=x").signedPart, "");
}

TEST(SignatureLine, AnyOtherLastLineMeansNoSignature) {
  for (const std::string& body : {kBody, kBody + "signature=x\nnotes=after\n", std::string(), std::string("\n\n"),
                                  kBody + " signature=x\n", kBody + "Signature=x\n"}) {
    const SignatureLine split = SplitSignatureLine(body);
    EXPECT_FALSE(split.found) << body;
    EXPECT_EQ(split.signedPart, body);
  }
}

TEST(Base64, DecodesPaddedTextAndRefusesEverythingElse) {
  EXPECT_EQ(DecodeBase64("QUJD").value, Bytes({'A', 'B', 'C'}));
  EXPECT_EQ(DecodeBase64("QUI=").value, Bytes({'A', 'B'}));
  EXPECT_EQ(DecodeBase64("QQ==").value, Bytes({'A'}));
  EXPECT_TRUE(DecodeBase64("").ok());
  EXPECT_EQ(DecodeBase64("+/+/").value, Bytes({0xFB, 0xFF, 0xBF}));
  for (const char* bad : {"QUJ", "QU JD", "Q===", "====", "QU=D", "QUJD\n", "QUJ-", "QUJD=", "QUI=QUJD"}) {
    EXPECT_FALSE(DecodeBase64(bad).ok()) << bad;
  }
}

TEST(SignatureFromDer, ReadsRAndSRightAligned) {
  // r = 0x01, s = 0x80 (with its sign byte 0x00).
  Result<std::array<unsigned char, 64>> raw =
      SignatureFromDer(Bytes({0x30, 0x07, 0x02, 0x01, 0x01, 0x02, 0x02, 0x00, 0x80}));
  ASSERT_TRUE(raw.ok());
  EXPECT_EQ(raw.value[31], 0x01);
  EXPECT_EQ(raw.value[63], 0x80);
  EXPECT_EQ(raw.value[30], 0x00);
  EXPECT_TRUE(SignatureFromDer(DecodeBase64(kPublisherSignature).value).ok());
}

TEST(SignatureFromDer, RefusesWhatIsNotTwoPositiveIntegersOfThirtyTwoBytes) {
  const std::vector<std::vector<unsigned char>> bad = {
      {},
      Bytes({0x31, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}),        // not a SEQUENCE
      Bytes({0x30, 0x07, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}),        // length beyond the data
      Bytes({0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x00}),  // data beyond the length
      Bytes({0x30, 0x06, 0x02, 0x01, 0x81, 0x02, 0x01, 0x01}),        // negative r
      Bytes({0x30, 0x07, 0x02, 0x02, 0x00, 0x01, 0x02, 0x01, 0x01}),  // a needless zero
      Bytes({0x30, 0x03, 0x02, 0x01, 0x01}),                          // no s
  };
  for (const auto& der : bad) EXPECT_FALSE(SignatureFromDer(der).ok()) << der.size();
  std::vector<unsigned char> wide = {0x30, 0x26, 0x02, 0x21, 0x01};  // r of 33 bytes without a sign byte
  wide.resize(2 + 2 + 33, 0x11);
  wide.insert(wide.end(), {0x02, 0x01, 0x01});
  EXPECT_FALSE(SignatureFromDer(wide).ok());
}

TEST(PublicKeyFromSpki, TakesOnlyAnUncompressedP256Point) {
  EXPECT_TRUE(PublicKeyFromSpki(DecodeBase64(kPublisherKey).value).ok());
  std::vector<unsigned char> spki = DecodeBase64(kPublisherKey).value;
  spki[26] = 0x02;  // a compressed point
  EXPECT_FALSE(PublicKeyFromSpki(spki).ok());
  spki = DecodeBase64(kPublisherKey).value;
  spki[20] = 0x22;  // another curve
  EXPECT_FALSE(PublicKeyFromSpki(spki).ok());
  spki.pop_back();
  EXPECT_FALSE(PublicKeyFromSpki(spki).ok());
}

TEST(CheckManifestSignature, OnlyThePublishersSignatureOverTheExactBytesPasses) {
  const CheckedManifest good = CheckManifestSignature(kBody + "signature=" + kPublisherSignature + "\n", kPublisherKey);
  EXPECT_EQ(good.check, SignatureCheck::kValid);
  EXPECT_EQ(good.signedPart, kBody);
  // CRLF after the signature and blank lines change nothing that is signed.
  EXPECT_EQ(CheckManifestSignature(kBody + "signature=" + kPublisherSignature + "\r\n\r\n", kPublisherKey).check,
            SignatureCheck::kValid);

  std::string changed = kBody;
  changed[8] = '1';  // version=9.1.0.0
  EXPECT_EQ(CheckManifestSignature(changed + "signature=" + kPublisherSignature + "\n", kPublisherKey).check,
            SignatureCheck::kMismatch);
  EXPECT_EQ(CheckManifestSignature(kBody + "signature=" + kOtherSignature + "\n", kPublisherKey).check,
            SignatureCheck::kMismatch);
  EXPECT_EQ(CheckManifestSignature(kBody, kPublisherKey).check, SignatureCheck::kMissing);
  EXPECT_EQ(CheckManifestSignature(kBody + "signature=not base64\n", kPublisherKey).check, SignatureCheck::kMalformed);
  EXPECT_EQ(CheckManifestSignature(kBody + "signature=QUJD\n", kPublisherKey).check, SignatureCheck::kMalformed);
  EXPECT_EQ(CheckManifestSignature(kBody + "signature=" + kPublisherSignature + "\n", "-").check,
            SignatureCheck::kKeyUnusable);
}

}  // namespace
