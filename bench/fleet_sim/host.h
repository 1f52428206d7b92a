// What the update host sees of a run, kept as counters in time bins rather than one record a request, so
// that 100,000 desktops fit in a few megabytes. Times are seconds since the run's first midnight.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr int kBinSeconds = 60;

class HostLog {
 public:
  explicit HostLog(int days);

  void ManifestRequest(double at);
  void Handshake(double at);
  void Download(double at, std::int64_t bytes);
  void Bytes(std::int64_t bytes) { bytes_ += bytes; }
  // A connection the host held open from opened to closed.
  void Connection(double opened, double closed);

  int bins() const { return static_cast<int>(requests_.size()); }
  const std::vector<std::uint32_t>& requests() const { return requests_; }
  const std::vector<std::uint32_t>& handshakes() const { return handshakes_; }
  const std::vector<std::int64_t>& downloadBytes() const { return downloadBytes_; }
  std::int64_t bytes() const { return bytes_; }
  std::uint64_t requestCount() const { return requestCount_; }
  // Connections open at each whole second (a connection counts where opened <= second < closed).
  std::vector<std::int32_t> OpenConnections() const;

 private:
  int Bin(double at) const;

  std::vector<std::uint32_t> requests_;
  std::vector<std::uint32_t> handshakes_;
  std::vector<std::int64_t> downloadBytes_;
  std::vector<std::int32_t> connectionSteps_;  // per second: +1 where one opens, -1 where one closes
  std::int64_t bytes_ = 0;
  std::uint64_t requestCount_ = 0;
};
