// Statistics over the host's bins, and the table.
#include "report.h"

#include <algorithm>
#include <cmath>

#include "model.h"

namespace {

constexpr int kSecondsPerDay = 86400;
constexpr double kStormGoal = 1.5;
constexpr double kOutageGoal = 2.0;
constexpr double kBytesGoal = 5.0;

int BinOf(double seconds) { return static_cast<int>(seconds / kBinSeconds); }

template <typename T>
double MeanRate(const std::vector<T>& bins, double from, double to) {
  double sum = 0;
  for (int i = BinOf(from); i < BinOf(to); ++i) sum += static_cast<double>(bins[static_cast<size_t>(i)]);
  return sum / (to - from);
}

// The first day's bins, per second: 99th percentile (nearest rank) and maximum.
template <typename T>
void DayRates(const std::vector<T>& bins, double& p99, double& max) {
  std::vector<double> day;
  for (int i = 0; i < kSecondsPerDay / kBinSeconds; ++i)
    day.push_back(static_cast<double>(bins[static_cast<size_t>(i)]) / kBinSeconds);
  std::sort(day.begin(), day.end());
  p99 = day[static_cast<size_t>(std::ceil(0.99 * static_cast<double>(day.size()))) - 1];
  max = day.back();
}

std::string Grouped(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  std::string digits = text;
  const size_t point = digits.find('.');
  size_t end = point == std::string::npos ? digits.size() : point;
  const size_t first = digits[0] == '-' ? 1 : 0;
  while (end > first + 3) {
    end -= 3;
    digits.insert(end, ",");
  }
  return digits;
}

std::string Duration(double seconds) {
  if (seconds < 0) return "not reached";
  char text[64];
  const long long whole = std::llround(seconds);
  if (whole < 120) {
    std::snprintf(text, sizeof(text), "%lld s", whole);
  } else if (whole < 7200) {
    std::snprintf(text, sizeof(text), "%lld min %02lld s", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof(text), "%lld h %02lld min", whole / 3600, whole / 60 % 60);
  }
  return text;
}

std::string Bytes(double bytes) {
  char text[64];
  if (bytes < 1e9) {
    std::snprintf(text, sizeof(text), "%.1f MB", bytes / 1e6);
  } else {
    std::snprintf(text, sizeof(text), "%.1f GB", bytes / 1e9);
  }
  return text;
}

void Row(std::FILE* out, const char* label, const std::string& before, const std::string& fleet,
         const std::string& goal = "") {
  std::fprintf(out, "  %-44s %16s %16s%s%s\n", label, before.c_str(), fleet.c_str(), goal.empty() ? "" : "   ",
               goal.c_str());
}

std::string Judged(const char* goal, bool met, std::vector<Goal>& goals, const std::string& what, bool enforced) {
  goals.push_back(Goal{what, met, enforced});
  return std::string(goal) + (met ? "   met" : "   MISSED");
}

}  // namespace

void FillSteady(const HostLog& host, Figures& figures) {
  figures.requestMean = MeanRate(host.requests(), model::kSteadyFromSeconds, model::kSteadyToSeconds);
  DayRates(host.requests(), figures.requestP99, figures.requestMax);
  double unused = 0;
  figures.handshakeMean = MeanRate(host.handshakes(), model::kSteadyFromSeconds, model::kSteadyToSeconds);
  DayRates(host.handshakes(), unused, figures.handshakeMax);
  const std::vector<std::int32_t> open = host.OpenConnections();
  double sum = 0;
  for (int s = static_cast<int>(model::kSteadyFromSeconds); s < static_cast<int>(model::kSteadyToSeconds); ++s) {
    sum += open[static_cast<size_t>(s)];
  }
  figures.connectionsMean = sum / (model::kSteadyToSeconds - model::kSteadyFromSeconds);
  figures.connectionsMax = *std::max_element(open.begin(), open.end());
  figures.bytesPerDay = static_cast<double>(host.bytes());
  for (std::uint32_t count : host.requests()) figures.requestsPerDay += count;
  for (std::uint32_t count : host.handshakes()) figures.handshakesPerDay += count;
}

void FillRollout(const HostLog& host, const RunTally& tally, std::uint64_t desktops, double start, Figures& figures) {
  std::vector<double> takes = tally.takes;
  std::sort(takes.begin(), takes.end());
  const auto reach = [&](double share) {
    const auto needed = static_cast<size_t>(std::ceil(share * static_cast<double>(desktops)));
    return needed >= 1 && takes.size() >= needed ? takes[needed - 1] - start : -1.0;
  };
  figures.reach50 = reach(0.5);
  figures.reach95 = reach(0.95);
  figures.reach100 = reach(1.0);
  figures.takes = takes.size();
  figures.earlyTakes = tally.earlyTakes;
  const std::vector<std::int64_t>& download = host.downloadBytes();
  figures.downloadPeak = static_cast<double>(*std::max_element(download.begin(), download.end())) / kBinSeconds;
}

double PeakRate(const HostLog& host, double from, double to) {
  std::uint32_t peak = 0;
  for (int i = BinOf(from); i < BinOf(to) && i < host.bins(); ++i)
    peak = std::max(peak, host.requests()[static_cast<size_t>(i)]);
  return static_cast<double>(peak) / kBinSeconds;
}

void PrintInterval(std::FILE* out, std::int64_t interval, bool defaultInterval, const Figures& before,
                   const Figures& fleet, std::vector<Goal>& goals) {
  const std::string name = std::to_string(interval) + " s";
  std::fprintf(out, "\nUpdate interval %s%s\n", name.c_str(), defaultInterval ? " (the default)" : "");
  Row(out, "", "before", "after", "goal");
  Row(out, "manifest requests/s, mean 09:00-16:00", Grouped(before.requestMean, 1), Grouped(fleet.requestMean, 1));
  Row(out, "  99th percentile of the day's 60-s bins", Grouped(before.requestP99, 1), Grouped(fleet.requestP99, 1));
  Row(out, "  busiest 60-s bin (08:00 storm included)", Grouped(before.requestMax, 1), Grouped(fleet.requestMax, 1));
  const double beforeStorm = before.requestMax / before.requestMean;
  const double fleetStorm = fleet.requestMax / fleet.requestMean;
  Row(out, "  peak to mean", Grouped(beforeStorm, 2), Grouped(fleetStorm, 2),
      Judged("< 1.5", fleetStorm < kStormGoal, goals, name + ": steady peak to mean below 1.5, storm included", false));
  Row(out, "manifest requests per day", Grouped(before.requestsPerDay, 0), Grouped(fleet.requestsPerDay, 0));
  Row(out, "TLS handshakes per day", Grouped(before.handshakesPerDay, 0), Grouped(fleet.handshakesPerDay, 0));
  Row(out, "TLS handshakes/s, mean 09:00-16:00", Grouped(before.handshakeMean, 1), Grouped(fleet.handshakeMean, 1));
  Row(out, "  busiest 60-s bin", Grouped(before.handshakeMax, 1), Grouped(fleet.handshakeMax, 1));
  Row(out, "connections held open, mean 09:00-16:00", Grouped(before.connectionsMean, 0),
      Grouped(fleet.connectionsMean, 0));
  Row(out, "  most at any second", Grouped(before.connectionsMax, 0), Grouped(fleet.connectionsMax, 0));
  const double saving = before.bytesPerDay / fleet.bytesPerDay;
  char ratio[32];
  std::snprintf(ratio, sizeof(ratio), "%.1fx lower", saving);
  Row(out, "bytes on the wire per day (TLS included)", Bytes(before.bytesPerDay), Bytes(fleet.bytesPerDay),
      defaultInterval ? Judged(">= 5x lower", saving >= kBytesGoal, goals,
                               name + ": bytes on the wire per day at least 5x lower", true) +
                            " (" + ratio + ")"
                      : std::string("(") + ratio + ")");
  Row(out, "release, rollout_hours=24: 50 % of desktops", Duration(before.reach50), Duration(fleet.reach50));
  Row(out, "  95 % of desktops", Duration(before.reach95), Duration(fleet.reach95));
  Row(out, "  100 % of desktops", Duration(before.reach100), Duration(fleet.reach100));
  Row(out, "  takes before the share point was due", Grouped(static_cast<double>(before.earlyTakes), 0),
      Grouped(static_cast<double>(fleet.earlyTakes), 0),
      Judged("none", fleet.earlyTakes == 0, goals, name + ": no desktop takes a release before its share point", true));
  Row(out, "  release downloads, busiest 60-s bin, MB/s", Grouped(before.downloadPeak / 1e6, 1),
      Grouped(fleet.downloadPeak / 1e6, 1));
  Row(out, "after a 10-min outage (no answer): peak/mean", Grouped(before.outagePeak, 2), Grouped(fleet.outagePeak, 2),
      Judged("< 2", fleet.outagePeak < kOutageGoal, goals,
             name + ": after a host outage, peak below 2x the steady mean", false));
  Row(out, "  answered 503 + Retry-After date: peak/mean", Grouped(before.retryAfterPeak, 2),
      Grouped(fleet.retryAfterPeak, 2),
      Judged("< 2", fleet.retryAfterPeak < kOutageGoal, goals,
             name + ": after a 503 outage with Retry-After, peak below 2x the steady mean", false));
}
