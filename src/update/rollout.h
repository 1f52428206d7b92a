// Staged rollout: when a release is due for this desktop. Each desktop has a share point in [0, 1) taken
// from a digest of its install id and the release, so the order changes from one release to the next;
// a release reaches share point p once rollout_hours x p have passed since rollout_start.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "support/utc_time.h"

inline constexpr std::int64_t kRolloutHoursMax = 8760;

// The manifest's rollout_start and rollout_hours, read.
enum class RolloutForm {
  kEveryone,   // neither key: the release is for everyone at once
  kStaged,     // both keys, well-formed
  kMalformed,  // one key without the other, or either malformed: the manifest is unusable
};

struct RolloutTerms {
  RolloutForm form = RolloutForm::kEveryone;
  UtcSeconds start = 0;    // kStaged: rollout_start
  std::int64_t hours = 0;  // kStaged: rollout_hours, 0..8760
};

// Reads the two values as the manifest gives them (nullopt: the key is absent). rollout_start is exactly
// "YYYY-MM-DDTHH:MM:SSZ"; rollout_hours is decimal digits alone, 0..8760.
RolloutTerms ReadRolloutTerms(const std::optional<std::wstring>& start, const std::optional<std::wstring>& hours);

// The bytes whose SHA-256 gives this desktop's share point for a release: "<installId>:<sha256>", the
// digest in lower-case hexadecimal whatever case it came in.
std::string ShareText(const std::string& installIdUtf8, const std::string& releaseSha256);

// The share point times 2^64: the digest's first 8 bytes, big-endian. Kept whole, so that the decision is
// exact; ShareFraction is for messages.
std::uint64_t SharePoint(const std::array<unsigned char, 32>& digest);
double ShareFraction(std::uint64_t sharePoint);

// The policy's UpdateRing.
enum class UpdateRing {
  kEarly = 0,    // takes a release from rollout_start on (canary machines)
  kDefault = 1,  // takes it at its share point
  kLate = 2,     // takes it once the rollout has reached everyone, at rollout_start + rollout_hours
};

// Any value but 0, 1 and 2 is read as 1.
UpdateRing RingFromPolicy(unsigned long value);

struct RolloutDecision {
  bool due = false;
  // When the release is due for this desktop, seconds since 1970: for kStaged, the first whole second at
  // which now - start >= sharePoint / 2^64 x hours x 3600 (ring 1), start (ring 0) or start + hours (ring
  // 2); 0 for a release that is for everyone.
  UtcSeconds dueAt = 0;
};

// Whether a release with these terms is due for this desktop at now. Never due for kMalformed terms.
RolloutDecision DecideRollout(const RolloutTerms& terms, std::uint64_t sharePoint, UpdateRing ring, UtcSeconds now);
