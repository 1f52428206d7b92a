// Whether a signed manifest is fresh, for a build with a publisher key: seq= grows with every manifest the
// publisher signs and expires= ends its life, so an old signed manifest replayed to a desktop does not hold
// it back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/utc_time.h"

// An expires this far in the past still passes: the desktop's clock may be wrong by that much.
inline constexpr std::int64_t kExpirySkewSeconds = 24 * 3600;

enum class Freshness {
  kFresh,         // seq and expires hold: take it; remember seq when it is above the stored one
  kUnchecked,     // seq or expires missing, and no seq stored yet: taken as before these keys
  kOlder,         // seq below the highest accepted: refused
  kExpired,       // expires more than 24 h ago: refused
  kTermsMissing,  // seq or expires missing, and a seq is stored: refused
  kMalformed,     // seq is not a whole number 1..2^63-1, or expires is not "YYYY-MM-DDTHH:MM:SSZ": refused
};

struct FreshnessVerdict {
  Freshness outcome = Freshness::kUnchecked;
  std::int64_t seq = 0;    // the manifest's seq, once read
  std::int64_t highestSeq = 0;  // the highest seq stored, when there was one
  UtcSeconds expires = 0;  // the manifest's expires, once read
};

// A seq as written: decimal digits alone, 1..2^63-1.
std::optional<std::int64_t> ReadSeqNumber(const std::wstring& text);

// True for kFresh and kUnchecked.
bool IsFreshEnough(Freshness freshness);

// Judges the values of the signed seq and expires keys (nullopt: the key is absent) against the highest
// seq this desktop stored (nullopt: none yet) and the desktop's clock now.
FreshnessVerdict JudgeFreshness(const std::optional<std::wstring>& seq, const std::optional<std::wstring>& expires,
                                std::optional<std::int64_t> highestSeq, UtcSeconds now);
