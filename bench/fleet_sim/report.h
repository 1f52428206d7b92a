// The figures of a run as the table shows them, and the table with its goals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "desktop.h"
#include "host.h"

// One behaviour at one interval. Rates are per second; -1 where a figure was not reached.
struct Figures {
  double requestMean = 0;  // manifest requests/s over the steady window
  double requestP99 = 0;   // 99th percentile of the day's 60-s bins
  double requestMax = 0;   // the day's busiest 60-s bin, the 08:00 storm included
  double handshakeMean = 0;
  double handshakeMax = 0;
  double connectionsMean = 0;  // connections the host holds open, over the steady window
  double connectionsMax = 0;
  double bytesPerDay = 0;
  double requestsPerDay = 0;  // manifest requests of the steady day
  double handshakesPerDay = 0;
  double reach50 = -1;  // seconds from rollout_start until this share of the fleet took the release
  double reach95 = -1;
  double reach100 = -1;
  std::uint64_t takes = 0;
  std::uint64_t earlyTakes = 0;
  double downloadPeak = 0;    // release bytes/s in the busiest 60-s bin
  double outagePeak = 0;      // the busiest 60-s bin after the outage (no answer), over requestMean
  double retryAfterPeak = 0;  // the same for the outage answered with 503 and Retry-After
};

void FillSteady(const HostLog& host, Figures& figures);
void FillRollout(const HostLog& host, const RunTally& tally, std::uint64_t desktops, double start, Figures& figures);
// The busiest 60-s bin in [from, to), per second.
double PeakRate(const HostLog& host, double from, double to);

struct Goal {
  std::string what;
  bool met = false;
  bool enforced = false;  // independent of the number of desktops: the smoke test fails when it is missed
};

// Prints the interval's table, before and after side by side with the goals beside them; adds the goals.
void PrintInterval(std::FILE* out, std::int64_t interval, bool defaultInterval, const Figures& before,
                   const Figures& fleet, std::vector<Goal>& goals);
