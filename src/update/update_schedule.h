// When the update thread checks next: the first check after start, the jittered interval, the back-off
// after failures and the pace the update host asks for with Retry-After. The clock and the random source
// are passed in, so a simulated fleet runs the very same decisions.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "support/utc_time.h"

// Each call gives a value uniform in [0, 1); a value outside is taken as the nearer end.
using UniformRandom = std::function<double()>;

// The first check comes at a random moment in [5 s, min(interval, 1 h)] after start: desktops that log on
// together do not ask together, and a morning's log-ons reach the host spread over a whole interval rather
// than as an echo of the log-on peak at every interval after it.
inline constexpr std::int64_t kFirstCheckEarliestSeconds = 5;
inline constexpr std::int64_t kFirstCheckLatestSeconds = 3600;
// Each regular wait is the interval times a random factor in [0.9, 1.1], in thousandths: a fleet started
// together drifts apart.
inline constexpr std::int64_t kJitterLowPerMille = 900;
inline constexpr std::int64_t kJitterHighPerMille = 1100;
// Back-off caps: for a host that gives no manifest, and for this desktop's own faults.
inline constexpr std::int64_t kHostBackOffCapSeconds = 3600;
inline constexpr std::int64_t kLocalBackOffCapSeconds = 6 * 3600;
// A longer Retry-After is read as this.
inline constexpr std::int64_t kRetryAfterCapSeconds = 24 * 3600;

// The pace settings of a run, in seconds.
struct CheckPace {
  std::int64_t intervalSeconds = 30;  // the update interval in force (option, policy or default), 5..86400
  std::int64_t spreadSeconds = 0;     // the policy's UpdateSpreadSeconds: each wait is longer by 0..this
};

// What one update cycle came to, as far as the pace is concerned.
enum class CheckOutcome {
  kManifest,     // 200: a manifest arrived (usable or not)
  kNotModified,  // 304: the kept manifest still holds
  kRetryAfter,   // 429 or 503 with a Retry-After field: the host names the pace
  kHostError,    // any other answer that is no manifest: other 5xx, 429 or 503 without a readable
                 // Retry-After, 3xx, 4xx
  kNoAnswer,     // no response at all: name resolution, connection, TLS, time-out
  kLocalFault,   // this desktop's own fault after a manifest arrived: disk, locks, helper not started
  kInstalled,    // an install was handed over
};

// The outcome of a manifest request by its HTTP status (0: no response) and its Retry-After field.
CheckOutcome ClassifyAnswer(unsigned long status, const std::wstring& retryAfter);

struct CheckReport {
  CheckOutcome outcome = CheckOutcome::kNoAnswer;
  std::wstring retryAfter;  // kRetryAfter: the field's text, seconds or an HTTP date
  std::wstring date;        // kRetryAfter: the response's Date field, empty when it had none
  UtcSeconds clock = 0;     // kRetryAfter: the desktop's clock; only places a two-digit year in Date
};

// The schedule's memory from one check to the next; starts empty with each run.
struct ScheduleState {
  int hostFailures = 0;  // checks in a row that brought no manifest: no answer, an error or a Retry-After
  int localFaults = 0;   // local faults since the last install
};

enum class WaitRule {
  kFirstCheck,    // the first check of a run
  kInterval,      // the jittered interval
  kHostBackOff,   // after hostFailures failures of the host, cap 1 h
  kLocalBackOff,  // after localFaults faults of this desktop, cap 6 h
  kRetryAfter,    // the host's own Retry-After
};

struct CheckWait {
  std::int64_t ms = 0;  // milliseconds from the end of this check to the start of the next
  WaitRule rule = WaitRule::kInterval;
  int failures = 0;                    // the back-offs: how many failures of the kind in a row
  std::int64_t retryAfterSeconds = 0;  // kRetryAfter: the host's wait as read, at most 24 h
};

// The wait from the start of a run to its first check: a random moment in [5 s, min(interval, 1 h)],
// plus the spread. Draws one random value, and a second for the spread when there is one.
CheckWait FirstCheckWait(const CheckPace& pace, const UniformRandom& random);

// The wait before the first check of a run that starts with state: the first-check window, or, after local
// faults that earlier runs of the program met on this computer (state.localFaults), the local back-off for
// that count, so that restarting the program does not undo its back-off.
CheckWait StartWait(const ScheduleState& state, const CheckPace& pace, const UniformRandom& random);

// The wait after a check that ended with report; updates state. Every wait is longer by a random 0..spread
// seconds (one more random value, drawn last, when the spread is not 0).
//  - kManifest, kNotModified: the interval times a random factor in [0.9, 1.1]; the host's count is reset.
//  - kHostError, kNoAnswer, and kRetryAfter whose Retry-After or Date cannot be read: the back-off rule
//    with a cap of 1 h over the host's count.
//  - kRetryAfter: the later of the host's Retry-After (at most 24 h) and one interval, plus a random part
//    of one interval, so that a fleet told the same date does not come back in the same second. The
//    host's count grows.
//  - kLocalFault: the back-off rule with a cap of 6 h over the local count; the host's count is reset (a
//    manifest came first).
//  - kInstalled: both counts are reset; the jittered interval.
// The back-off rule: after n failures in a row, a random moment in [W/2, W] with
// W = min(max(cap, interval), interval x 2^n), and never sooner than one interval: where the window has
// shrunk to the interval, a moment in [interval, 1.2 x interval], from the same random value.
CheckWait NextCheckWait(ScheduleState& state, const CheckPace& pace, const CheckReport& report,
                        const UniformRandom& random);

// The seconds a Retry-After field asks for: a whole number of seconds, or an HTTP date counted from the
// response's own Date (the desktop's clock may be wrong), at least 0 and at most 24 h. Nothing when the
// field is neither, or when it is a date and Date is missing or unreadable. clock places two-digit years.
std::optional<std::int64_t> RetryAfterSeconds(const std::wstring& retryAfter, const std::wstring& date,
                                              UtcSeconds clock);
