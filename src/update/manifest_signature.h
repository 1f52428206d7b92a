// The publisher's signature of a manifest. The last non-empty line is "signature=" and base64 text: an
// ECDSA P-256 signature, DER-encoded as `openssl dgst -sha256 -sign KEY` writes it, over the SHA-256 of
// every byte of the manifest before that line. Checked with the system's own cryptography (bcrypt).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "support/result.h"

inline constexpr char kSignaturePrefix[] = "signature=";

// The manifest split at its last non-empty line (one with more than blanks, tabs and a CR).
struct SignatureLine {
  bool found = false;      // the last non-empty line begins with "signature="
  std::string signedPart;  // every byte before that line (the whole body when there is none)
  std::string value;       // the text after "signature=", without the line's trailing blanks and CR
};
SignatureLine SplitSignatureLine(const std::string& body);

// The signature's r and s, 32 big-endian bytes each, from its DER form; fails for anything but a
// well-formed SEQUENCE of two positive INTEGERs that fit 32 bytes. Pure.
Result<std::array<unsigned char, 64>> SignatureFromDer(const std::vector<unsigned char>& der);

// The point X and Y, 32 bytes each, from an EC P-256 public key in the SubjectPublicKeyInfo form that
// `openssl ec -pubout` writes (91 bytes, uncompressed point); fails for any other key. Pure.
Result<std::array<unsigned char, 64>> PublicKeyFromSpki(const std::vector<unsigned char>& spki);

enum class SignatureCheck {
  kValid,
  kMissing,       // no signature line
  kMalformed,     // the line is there, its value is no base64 DER signature
  kMismatch,      // another key's signature, or a changed byte
  kKeyUnusable,   // the embedded public key cannot be read
  kCryptoFailed,  // the system's cryptography refused to work
};

struct CheckedManifest {
  SignatureCheck check = SignatureCheck::kMissing;
  std::string signedPart;  // what the signature covers: the only bytes to read when kValid
};

// Checks body against publicKey (the base64 text of the SubjectPublicKeyInfo).
CheckedManifest CheckManifestSignature(const std::string& body, const std::string& publicKey);

// The reason of a refusal, for the messages.
const wchar_t* SignatureCheckText(SignatureCheck check);
