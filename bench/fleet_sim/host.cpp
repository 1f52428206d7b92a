// The host's counters.
#include "host.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr int kSecondsPerDay = 86400;
}  // namespace

HostLog::HostLog(int days)
    : requests_(static_cast<size_t>(days * kSecondsPerDay / kBinSeconds)),
      handshakes_(requests_.size()),
      downloadBytes_(requests_.size()),
      connectionSteps_(static_cast<size_t>(days * kSecondsPerDay + 1)) {}

int HostLog::Bin(double at) const { return std::clamp(static_cast<int>(at / kBinSeconds), 0, bins() - 1); }

void HostLog::ManifestRequest(double at) {
  ++requests_[static_cast<size_t>(Bin(at))];
  ++requestCount_;
}

void HostLog::Handshake(double at) { ++handshakes_[static_cast<size_t>(Bin(at))]; }

void HostLog::Download(double at, std::int64_t bytes) { downloadBytes_[static_cast<size_t>(Bin(at))] += bytes; }

void HostLog::Connection(double opened, double closed) {
  const int last = static_cast<int>(connectionSteps_.size()) - 1;
  const int from = std::clamp(static_cast<int>(std::ceil(opened)), 0, last);
  const int to = std::clamp(static_cast<int>(std::ceil(closed)), 0, last);
  if (to <= from) return;
  ++connectionSteps_[static_cast<size_t>(from)];
  --connectionSteps_[static_cast<size_t>(to)];
}

std::vector<std::int32_t> HostLog::OpenConnections() const {
  std::vector<std::int32_t> open(connectionSteps_.size());
  std::int32_t count = 0;
  for (size_t i = 0; i < open.size(); ++i) open[i] = count += connectionSteps_[i];
  return open;
}
