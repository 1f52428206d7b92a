// One desktop's working days, walked check by check, the way the program behaved before it kept its
// connection, or the way the program's decision code (update_schedule, rollout) makes it behave; every
// check is told to the host log.
// Desktops do not affect each other (the model host answers by the clock alone), so each is walked on
// its own, in time order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "update/rollout.h"

enum class Behaviour {
  kBefore,  // a session per check, the full manifest, first check at 5 s, a fixed interval after each
           // cycle, failures keep the phase, a release taken at the first check after it is published
  kFleet,  // the decision code: first-check window, jitter, back-off, Retry-After, conditional checks,
           // one kept connection, staged rollout
};

struct Outage {
  double from = 0;  // seconds since the run's first midnight
  double to = 0;
  bool retryAfter = false;  // answers 503 with Retry-After: its end as an HTTP date; otherwise nothing at all
};

struct Scenario {
  int days = 1;
  double end = 86400;  // the run stops here
  std::optional<Outage> outage;
  bool release = false;  // a release is published at model::kReleaseAtSeconds with the run's rollout terms
};

struct RunSettings {
  Behaviour behaviour = Behaviour::kFleet;
  std::int64_t intervalSeconds = 30;
  std::uint64_t seed = 1;
  UtcSeconds epoch = 0;  // the run's first midnight
  Scenario scenario;
  RolloutTerms terms;  // the release's, as the program reads them from the manifest
};

// What the desktops did that the host cannot see, and every invariant that did not hold.
struct RunTally {
  std::vector<double> takes;     // when a desktop took the release, one entry a take
  std::uint64_t earlyTakes = 0;  // takes before the desktop's share point was due
  std::uint64_t unanswered = 0;  // checks that reached no host
  std::uint64_t brokenCount = 0;
  std::vector<std::string> broken;  // the first few broken invariants, described

  void Break(const std::string& what);
};

void SimulateDesktop(std::uint64_t index, const RunSettings& run, HostLog& host, RunTally& tally);
