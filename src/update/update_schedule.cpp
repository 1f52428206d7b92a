// The pace of update checks, in whole milliseconds over random windows.
#include "update/update_schedule.h"

#include <algorithm>

namespace {

constexpr std::int64_t kMsPerSecond = 1000;
constexpr int kCountLimit = 1000;  // counts stop growing here; the caps decide long before
constexpr std::int64_t kBackOffFloorPerMille = 1200;  // a back-off's floor: one to 1.2 intervals

// One value of the random source, taken into [0, 1].
double Draw(const UniformRandom& random) {
  double u = random();
  if (!(u > 0.0)) u = 0.0;  // NaN too
  if (u > 1.0) u = 1.0;
  return u;
}

// The whole number at u in [low, high], both ends reachable: 0 gives low, just under 1 gives high.
std::int64_t Between(std::int64_t low, std::int64_t high, double u) {
  if (high <= low) return low;
  const std::int64_t span = high - low;
  const auto offset = static_cast<std::int64_t>(u * static_cast<double>(span + 1));
  return low + std::min(offset, span);
}

// Always draws one value, so the draws of a wait do not depend on the size of its window.
std::int64_t Pick(std::int64_t low, std::int64_t high, const UniformRandom& random) {
  return Between(low, high, Draw(random));
}

std::int64_t IntervalMs(const CheckPace& pace) {
  return std::max<std::int64_t>(pace.intervalSeconds, 1) * kMsPerSecond;
}

// The policy's spread, drawn only when there is one.
std::int64_t SpreadMs(const CheckPace& pace, const UniformRandom& random) {
  return pace.spreadSeconds > 0 ? Pick(0, pace.spreadSeconds * kMsPerSecond, random) : 0;
}

CheckWait JitteredInterval(const CheckPace& pace, const UniformRandom& random) {
  const std::int64_t interval = IntervalMs(pace);
  CheckWait wait;
  wait.rule = WaitRule::kInterval;
  wait.ms = Pick(interval * kJitterLowPerMille / 1000, interval * kJitterHighPerMille / 1000, random);
  return wait;
}

CheckWait BackOff(const CheckPace& pace, int failures, std::int64_t capSeconds, WaitRule rule,
                  const UniformRandom& random) {
  const std::int64_t interval = IntervalMs(pace);
  const std::int64_t ceiling = std::max(capSeconds * kMsPerSecond, interval);
  std::int64_t window = interval;  // interval x 2^n, until it reaches the ceiling
  for (int i = 0; i < failures && window < ceiling; ++i) window *= 2;
  window = std::min(window, ceiling);
  CheckWait wait;
  wait.rule = rule;
  wait.failures = failures;
  // Never sooner than one interval, and, where the window has shrunk to the interval, still spread over a
  // fifth of it from the same draw: desktops that failed together do not come back together.
  const double u = Draw(random);
  wait.ms = std::max(Between(window / 2, window, u), Between(interval, interval * kBackOffFloorPerMille / 1000, u));
  return wait;
}

int Grown(int count) { return std::min(count + 1, kCountLimit); }

bool IsDigits(const std::wstring& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

std::wstring WithoutBlanks(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  return text.substr(first, text.find_last_not_of(L" \t") + 1 - first);
}

}  // namespace

CheckOutcome ClassifyAnswer(unsigned long status, const std::wstring& retryAfter) {
  switch (status) {
    case 0:
      return CheckOutcome::kNoAnswer;
    case 200:
      return CheckOutcome::kManifest;
    case 304:
      return CheckOutcome::kNotModified;
    case 429:
    case 503:
      return WithoutBlanks(retryAfter).empty() ? CheckOutcome::kHostError : CheckOutcome::kRetryAfter;
    default:
      return CheckOutcome::kHostError;
  }
}

std::optional<std::int64_t> RetryAfterSeconds(const std::wstring& retryAfter, const std::wstring& date,
                                              UtcSeconds clock) {
  const std::wstring field = WithoutBlanks(retryAfter);
  if (IsDigits(field)) {
    // Any number of digits: a huge one is simply the cap.
    std::int64_t seconds = 0;
    for (wchar_t c : field) {
      seconds = std::min(seconds * 10 + (c - L'0'), kRetryAfterCapSeconds);
    }
    return seconds;
  }
  const std::optional<UtcSeconds> sent = ParseHttpDate(date, clock);
  if (!sent) return std::nullopt;
  const std::optional<UtcSeconds> until = ParseHttpDate(field, *sent);
  if (!until) return std::nullopt;
  return std::clamp<std::int64_t>(*until - *sent, 0, kRetryAfterCapSeconds);
}

CheckWait FirstCheckWait(const CheckPace& pace, const UniformRandom& random) {
  const std::int64_t latest = std::min(std::max<std::int64_t>(pace.intervalSeconds, 1), kFirstCheckLatestSeconds);
  CheckWait wait;
  wait.rule = WaitRule::kFirstCheck;
  wait.ms = Pick(kFirstCheckEarliestSeconds * kMsPerSecond, latest * kMsPerSecond, random);
  wait.ms += SpreadMs(pace, random);
  return wait;
}

CheckWait StartWait(const ScheduleState& state, const CheckPace& pace, const UniformRandom& random) {
  if (state.localFaults == 0) return FirstCheckWait(pace, random);
  CheckWait wait = BackOff(pace, state.localFaults, kLocalBackOffCapSeconds, WaitRule::kLocalBackOff, random);
  wait.ms += SpreadMs(pace, random);
  return wait;
}

CheckWait NextCheckWait(ScheduleState& state, const CheckPace& pace, const CheckReport& report,
                        const UniformRandom& random) {
  CheckWait wait;
  switch (report.outcome) {
    case CheckOutcome::kManifest:
    case CheckOutcome::kNotModified:
      state.hostFailures = 0;
      wait = JitteredInterval(pace, random);
      break;
    case CheckOutcome::kInstalled:
      state = ScheduleState{};
      wait = JitteredInterval(pace, random);
      break;
    case CheckOutcome::kLocalFault:
      state.hostFailures = 0;
      state.localFaults = Grown(state.localFaults);
      wait = BackOff(pace, state.localFaults, kLocalBackOffCapSeconds, WaitRule::kLocalBackOff, random);
      break;
    case CheckOutcome::kRetryAfter:
    case CheckOutcome::kHostError:
    case CheckOutcome::kNoAnswer: {
      state.hostFailures = Grown(state.hostFailures);
      const std::optional<std::int64_t> asked = report.outcome == CheckOutcome::kRetryAfter
                                                    ? RetryAfterSeconds(report.retryAfter, report.date, report.clock)
                                                    : std::nullopt;
      if (!asked) {
        wait = BackOff(pace, state.hostFailures, kHostBackOffCapSeconds, WaitRule::kHostBackOff, random);
        break;
      }
      const std::int64_t interval = IntervalMs(pace);
      wait.rule = WaitRule::kRetryAfter;
      wait.failures = state.hostFailures;
      wait.retryAfterSeconds = *asked;
      // A random part of one interval on top: a fleet told the same date comes back over an interval,
      // and a wait raised to the interval keeps its jitter.
      wait.ms = std::max(*asked * kMsPerSecond, interval) + Pick(0, interval, random);
      break;
    }
  }
  wait.ms += SpreadMs(pace, random);
  return wait;
}
