// The fleet model's assumptions: every number of the simulation that does not come from the program's own
// decision code, each with why it has the value it has. All of them are printed with the results.
#pragma once

#include <cstdint>
#include <cstdio>

namespace model {

// --- The working day --------------------------------------------------------------------------------
inline constexpr double kLogOnMeanSeconds = 8 * 3600.0;  // log-ons centre on 08:00
inline constexpr double kLogOnSigmaSeconds = 15 * 60.0;  // normal spread of the log-ons, sigma 15 min
inline constexpr double kWorkdaySeconds = 9 * 3600.0;    // on for 9 h after log-on, then off for the night
// The hours in which every desktop is on (4 sigma after the log-ons, 4 sigma before the log-offs): the
// steady mean is taken over them.
inline constexpr double kSteadyFromSeconds = 9 * 3600.0;
inline constexpr double kSteadyToSeconds = 16 * 3600.0;

// --- The network and the program around the decisions ------------------------------------------------
inline constexpr double kRoundTripSeconds = 0.05;  // desktop to host and back, a WAN
inline constexpr int kHandshakeRoundTrips = 3;     // TCP (1) and a full TLS 1.2 handshake (2) before a request
inline constexpr double kNoAnswerSeconds = 20.0;   // a host that does not answer costs the manifest time-out
inline constexpr double kDownloadSeconds = 1.0;    // 1 MB at about 8 Mbit/s
inline constexpr double kRestartSeconds = 5.0;     // from the hand-over to the new version running
// No UpdateSpreadSeconds policy: the waits are the decision code's own.
inline constexpr std::int64_t kSpreadSeconds = 0;
// The program keeps a manifest's validators in memory only: the first check of every run gets a 200.
inline constexpr bool kValidatorsSurviveRestart = false;

// --- The update host: nginx's defaults ----------------------------------------------------------------
inline constexpr double kKeepAliveTimeoutSeconds = 75.0;  // keepalive_timeout: an idle connection is closed
inline constexpr int kKeepAliveRequests = 1000;           // keepalive_requests: closed after this many
inline constexpr double kKeepAliveTimeSeconds = 3600.0;   // keepalive_time: closed after the first request past it

// --- Bytes on the wire, both directions, TCP/IP headers included -------------------------------------
inline constexpr int kSegmentHeaderBytes = 52;     // IPv4 20 + TCP 20 + timestamp option 12
inline constexpr int kSegmentPayloadBytes = 1448;  // MSS 1460 less the timestamp option
inline constexpr int kTcpOpenBytes = 180;          // SYN, SYN-ACK (with MSS, SACK, window scale options), ACK
inline constexpr int kCloseBytes = 300;            // TLS close_notify, FIN and ACK both ways
// A full TLS handshake: ClientHello about 0.5 KB, ServerHello with a two-certificate RSA-2048 chain and
// the key exchange about 4.4 KB, the client's key exchange and Finished, the server's Finished and a
// session ticket about 0.5 KB, and some 11 segments' headers.
// Every new connection pays it in full: TLS session resumption is not counted.
inline constexpr int kTlsHandshakeBytes = 6000;
inline constexpr int kTlsRecordBytes = 29;          // per TLS record: 5 header, 8 nonce, 16 tag (AES-GCM)
inline constexpr int kRequestBytes = 190;           // GET line, Host, User-Agent, Connection
inline constexpr int kValidatorBytes = 80;          // If-None-Match with nginx's ETag, If-Modified-Since
inline constexpr int kResponseHeaderBytes = 250;    // nginx's 200: Server, Date, types, lengths, ETag, ...
inline constexpr int kNotModifiedBytes = 180;       // nginx's 304
inline constexpr int kRetryAfterAnswerBytes = 400;  // a 503 with Retry-After and nginx's small error page
// A signed manifest: version, url, sha256, size, the windowless keys, notes, rollout, seq, expires and
// the signature line.
inline constexpr int kManifestBytes = 700;
inline constexpr std::int64_t kReleaseBytes = 1000000;  // a release of about 1 MB

// --- The scenarios -------------------------------------------------------------------------------------
inline constexpr double kOutageFromSeconds = 11 * 3600.0;  // a 10-minute outage at 11:00
inline constexpr double kOutageSeconds = 600.0;
inline constexpr double kAfterOutageSeconds = 2 * 3600.0;  // the peak after it is looked for this long
inline constexpr double kReleaseAtSeconds = 9 * 3600.0;    // published at 09:00 of the first day, which
inline constexpr std::int64_t kRolloutHours = 24;          // is also its rollout_start; 24 h rollout
inline constexpr int kRolloutDays = 2;                     // days simulated for the rollout

// Bytes one direction of an exchange puts on the wire: its payload in TLS records of one segment's
// worth, the segments' headers, and the other side's ACK for every second segment.
std::int64_t WireBytes(std::int64_t payload);

// Prints the assumptions above, one a line.
void PrintAssumptions(std::FILE* out);

}  // namespace model
