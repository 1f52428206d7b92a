// The byte model and the printed list of assumptions.
#include "model.h"

namespace model {

namespace {
constexpr std::int64_t kTlsRecordPayload = 16384;  // the largest TLS record
}  // namespace

std::int64_t WireBytes(std::int64_t payload) {
  const std::int64_t records = (payload + kTlsRecordPayload - 1) / kTlsRecordPayload;
  const std::int64_t sealed = payload + records * kTlsRecordBytes;
  const std::int64_t segments = (sealed + kSegmentPayloadBytes - 1) / kSegmentPayloadBytes;
  return sealed + segments * kSegmentHeaderBytes + (segments + 1) / 2 * kSegmentHeaderBytes;
}

void PrintAssumptions(std::FILE* out) {
  std::fprintf(out, "Model assumptions (bench/fleet_sim/model.h):\n");
  std::fprintf(out, "  log-on: normal around %02d:00, sigma %.0f min; on for %.0f h, then off for the night\n",
               static_cast<int>(kLogOnMeanSeconds / 3600), kLogOnSigmaSeconds / 60, kWorkdaySeconds / 3600);
  std::fprintf(out, "  steady window (every desktop on): %02d:00-%02d:00\n",
               static_cast<int>(kSteadyFromSeconds / 3600), static_cast<int>(kSteadyToSeconds / 3600));
  std::fprintf(out,
               "  round trip %.0f ms; a new connection takes %d round trips (TCP, full TLS 1.2) before the request\n",
               kRoundTripSeconds * 1000, kHandshakeRoundTrips);
  std::fprintf(out,
               "  a host that does not answer costs %.0f s (the manifest time-out); download %.1f s; restart after an "
               "install %.0f s\n",
               kNoAnswerSeconds, kDownloadSeconds, kRestartSeconds);
  std::fprintf(
      out, "  UpdateSpreadSeconds %lld; validators survive a restart: %s (the first check of each run gets a 200)\n",
      static_cast<long long>(kSpreadSeconds), kValidatorsSurviveRestart ? "yes" : "no");
  std::fprintf(out, "  host (nginx defaults): keepalive_timeout %.0f s, keepalive_requests %d, keepalive_time %.0f s\n",
               kKeepAliveTimeoutSeconds, kKeepAliveRequests, kKeepAliveTimeSeconds);
  std::fprintf(out, "  TCP/IP header %d B a segment, %d B payload; TCP open %d B; close (close_notify, FIN/ACK) %d B\n",
               kSegmentHeaderBytes, kSegmentPayloadBytes, kTcpOpenBytes, kCloseBytes);
  std::fprintf(out,
               "  full TLS handshake %d B on the wire, paid by every new connection (no resumption counted); "
               "TLS record overhead %d B\n",
               kTlsHandshakeBytes, kTlsRecordBytes);
  std::fprintf(out,
               "  request %d B (+%d B validators); 200 headers %d B + manifest %d B (signed); 304 %d B; 503 with "
               "Retry-After %d B\n",
               kRequestBytes, kValidatorBytes, kResponseHeaderBytes, kManifestBytes, kNotModifiedBytes,
               kRetryAfterAnswerBytes);
  std::fprintf(out, "  so: a check on a new connection costs %lld B (before), a 304 on a kept connection %lld B\n",
               static_cast<long long>(kTcpOpenBytes + kTlsHandshakeBytes + WireBytes(kRequestBytes) +
                                      WireBytes(kResponseHeaderBytes + kManifestBytes) + kCloseBytes),
               static_cast<long long>(WireBytes(kRequestBytes + kValidatorBytes) + WireBytes(kNotModifiedBytes)));
  std::fprintf(
      out,
      "  release %lld B, published at %02d:00 of day 1 as rollout_start, rollout_hours=%lld, every desktop in ring 1\n",
      static_cast<long long>(kReleaseBytes), static_cast<int>(kReleaseAtSeconds / 3600),
      static_cast<long long>(kRolloutHours));
  std::fprintf(out, "  outage: %.0f min from %02d:00; the peak after it is looked for in the %.0f h after its end\n",
               kOutageSeconds / 60, static_cast<int>(kOutageFromSeconds / 3600), kAfterOutageSeconds / 3600);
  std::fprintf(out, "  share points: the first 8 bytes of a uniformly drawn digest (SHA-256 output is uniform)\n");
}

}  // namespace model
