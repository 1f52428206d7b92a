// The staged rollout's terms, share point and due time, in exact integer arithmetic.
#include "update/rollout.h"

namespace {

constexpr std::int64_t kSecondsPerHour = 3600;
constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;

// ceil(sharePoint x span / 2^64) for a span below 2^32, without a 128-bit type: the product is split at
// 32 bits.
std::int64_t ShareOfSpan(std::uint64_t sharePoint, std::uint64_t span) {
  const std::uint64_t high = (sharePoint >> 32) * span;  // below 2^64: both factors below 2^32
  const std::uint64_t low = (sharePoint & kLow32) * span;
  const std::uint64_t upper = high + (low >> 32);  // the product is upper x 2^32 + (low & kLow32)
  const bool remainder = (upper & kLow32) != 0 || (low & kLow32) != 0;
  return static_cast<std::int64_t>((upper >> 32) + (remainder ? 1 : 0));
}

// Decimal digits alone, at most max.
std::optional<std::int64_t> WholeNumber(const std::wstring& text, std::int64_t max) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + (c - L'0');
    if (value > max) return std::nullopt;
  }
  return value;
}

}  // namespace

RolloutTerms ReadRolloutTerms(const std::optional<std::wstring>& start, const std::optional<std::wstring>& hours) {
  RolloutTerms terms;
  if (!start && !hours) return terms;
  terms.form = RolloutForm::kMalformed;
  if (!start || !hours) return terms;
  const std::optional<UtcSeconds> startTime = ParseUtcTime(*start);
  const std::optional<std::int64_t> hourCount = WholeNumber(*hours, kRolloutHoursMax);
  if (!startTime || !hourCount) return terms;
  terms.form = RolloutForm::kStaged;
  terms.start = *startTime;
  terms.hours = *hourCount;
  return terms;
}

std::string ShareText(const std::string& installIdUtf8, const std::string& releaseSha256) {
  std::string text = installIdUtf8 + ":";
  for (char c : releaseSha256) text += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

std::uint64_t SharePoint(const std::array<unsigned char, 32>& digest) {
  std::uint64_t point = 0;
  for (size_t i = 0; i < 8; ++i) point = (point << 8) | digest[i];
  return point;
}

double ShareFraction(std::uint64_t sharePoint) {
  // The top 53 bits, which a double holds exactly, so the fraction stays below 1.
  return static_cast<double>(sharePoint >> 11) / 9007199254740992.0;  // 2^53
}

UpdateRing RingFromPolicy(unsigned long value) {
  switch (value) {
    case 0:
      return UpdateRing::kEarly;
    case 2:
      return UpdateRing::kLate;
    default:
      return UpdateRing::kDefault;
  }
}

RolloutDecision DecideRollout(const RolloutTerms& terms, std::uint64_t sharePoint, UpdateRing ring, UtcSeconds now) {
  RolloutDecision decision;
  switch (terms.form) {
    case RolloutForm::kEveryone:
      decision.due = true;
      return decision;
    case RolloutForm::kMalformed:
      return decision;
    case RolloutForm::kStaged:
      break;
  }
  const std::int64_t span = terms.hours * kSecondsPerHour;
  switch (ring) {
    case UpdateRing::kEarly:
      decision.dueAt = terms.start;
      break;
    case UpdateRing::kDefault:
      decision.dueAt = terms.start + ShareOfSpan(sharePoint, static_cast<std::uint64_t>(span));
      break;
    case UpdateRing::kLate:
      decision.dueAt = terms.start + span;
      break;
  }
  decision.due = now >= decision.dueAt;
  return decision;
}
