// The freshness rule of signed manifests.
#include "update/manifest_freshness.h"

#include <limits>

std::optional<std::int64_t> ReadSeqNumber(const std::wstring& text) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    const int digit = c - L'0';
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value < 1) return std::nullopt;
  return value;
}

bool IsFreshEnough(Freshness freshness) { return freshness == Freshness::kFresh || freshness == Freshness::kUnchecked; }

FreshnessVerdict JudgeFreshness(const std::optional<std::wstring>& seq, const std::optional<std::wstring>& expires,
                                std::optional<std::int64_t> highestSeq, UtcSeconds now) {
  FreshnessVerdict verdict;
  verdict.highestSeq = highestSeq.value_or(0);
  if (seq) {
    const std::optional<std::int64_t> number = ReadSeqNumber(*seq);
    if (!number) {
      verdict.outcome = Freshness::kMalformed;
      return verdict;
    }
    verdict.seq = *number;
  }
  if (expires) {
    const std::optional<UtcSeconds> end = ParseUtcTime(*expires);
    if (!end) {
      verdict.outcome = Freshness::kMalformed;
      return verdict;
    }
    verdict.expires = *end;
  }
  if (!seq || !expires) {
    verdict.outcome = highestSeq ? Freshness::kTermsMissing : Freshness::kUnchecked;
  } else if (verdict.seq < highestSeq.value_or(0)) {
    verdict.outcome = Freshness::kOlder;
  } else if (now - verdict.expires > kExpirySkewSeconds) {
    verdict.outcome = Freshness::kExpired;
  } else {
    verdict.outcome = Freshness::kFresh;
  }
  return verdict;
}
