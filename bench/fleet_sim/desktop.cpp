// The walk of one desktop through its days, the old way or by the program's decision code.
#include "desktop.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "model.h"
#include "update/update_schedule.h"

namespace {

constexpr double kSecondsPerDay = 86400;
constexpr size_t kBrokenKept = 10;
constexpr double kTwoToThe64 = 18446744073709551616.0;

// The simulation's own seeded generator (SplitMix64): small, fast, and one stream per desktop and use.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double Normal() {                                                           // Box-Muller
    const double radius = std::sqrt(-2.0 * std::log(1.0 - Uniform()));
    return radius * std::cos(6.283185307179586 * Uniform());
  }

 private:
  std::uint64_t state_;
};

std::uint64_t StreamSeed(std::uint64_t seed, std::uint64_t index, std::uint64_t stream) {
  SplitMix64 mix(seed * 0xD1B54A32D192ED03ULL + index);
  return mix.Next() ^ (stream * 0x9E3779B97F4A7C15ULL);
}

enum class Answer { kNothing, kRetryAfter, kManifest };

// What a check came to.
struct Done {
  double end = 0;  // when the cycle ended
  CheckReport report;
  bool installed = false;
};

class Walk {
 public:
  Walk(std::uint64_t index, const RunSettings& run, HostLog& host, RunTally& tally)
      : run_(run),
        host_(host),
        tally_(tally),
        days_(StreamSeed(run.seed, index, 1)),
        random_(StreamSeed(run.seed, index, run.behaviour == Behaviour::kBefore ? 2 : 3)) {
    // Drawn from the days' stream, so both behaviours see the same desktop: same log-ons, same share.
    std::array<unsigned char, 32> digest{};
    for (unsigned char& byte : digest) byte = static_cast<unsigned char>(days_.Next());
    share_ = SharePoint(digest);
    pace_.intervalSeconds = run.intervalSeconds;
    pace_.spreadSeconds = model::kSpreadSeconds;
    uniform_ = [this] { return random_.Uniform(); };
  }

  void Run() {
    for (int day = 0; day < run_.scenario.days; ++day) {
      const double on = day * kSecondsPerDay + model::kLogOnMeanSeconds + model::kLogOnSigmaSeconds * days_.Normal();
      const double off = std::min(on + model::kWorkdaySeconds, run_.scenario.end);
      if (on < off) WorkingDay(on, off);
    }
  }

 private:
  bool Fleet() const { return run_.behaviour == Behaviour::kFleet; }

  void WorkingDay(double on, double off) {
    double at = StartRun(on);
    while (at < off) {
      const Done done = Fleet() ? FleetCheck(at) : BeforeCheck(at);
      busyUntil_ = done.end;
      if (done.installed) {
        EndRun(done.end);
        at = StartRun(done.end + model::kRestartSeconds);
        continue;
      }
      at = done.end + (Fleet() ? FleetWaitSeconds(done) : static_cast<double>(run_.intervalSeconds));
    }
    EndRun(std::max(off, busyUntil_));
  }

  // A run of the program starts: at log-on, or after an install. Gives the time of its first check.
  double StartRun(double at) {
    schedule_ = ScheduleState{};
    if (!model::kValidatorsSurviveRestart) version_ = 0;
    if (!Fleet()) return at + 5.0;  // before: always 5 s after start
    const CheckWait wait = FirstCheckWait(pace_, uniform_);
    const std::int64_t latest =
        std::min<std::int64_t>(run_.intervalSeconds, kFirstCheckLatestSeconds) * 1000 + model::kSpreadSeconds * 1000;
    if (wait.rule != WaitRule::kFirstCheck || wait.ms < 5000 || wait.ms > latest) {
      tally_.Break("first check outside [5 s, min(interval, 1 h)]: " + std::to_string(wait.ms) + " ms");
    }
    return at + static_cast<double>(wait.ms) / 1000;
  }

  // The run ends (log-off, or the hand-over to a new version): the client closes what the host kept.
  void EndRun(double at) {
    Settle(at);
    if (connection_.open) Close(at, true);
  }

  Answer AnswerAt(double at) const {
    const std::optional<Outage>& outage = run_.scenario.outage;
    if (outage && at >= outage->from && at < outage->to)
      return outage->retryAfter ? Answer::kRetryAfter : Answer::kNothing;
    return Answer::kManifest;
  }

  // 1 before the release is published, 2 after: the manifest's ETag.
  int ManifestAt(double at) const { return run_.scenario.release && at >= model::kReleaseAtSeconds ? 2 : 1; }

  // Before: a new WinHTTP session, so a new connection and a full handshake, for every check; the whole
  // manifest every time; a release at the first check that sees it.
  Done BeforeCheck(double at) {
    Done done;
    const Answer answer = AnswerAt(at);
    if (answer == Answer::kNothing) {
      ++tally_.unanswered;
      done.end = at + model::kNoAnswerSeconds;
      return done;
    }
    host_.ManifestRequest(at);
    done.end = Exchange(at, model::kRequestBytes,
                        answer == Answer::kRetryAfter ? model::kRetryAfterAnswerBytes
                                                      : model::kResponseHeaderBytes + model::kManifestBytes,
                        0);
    if (answer == Answer::kManifest && ManifestAt(at) == 2 && !hasRelease_) {
      Take(at);
      // The download opens a session of its own.
      const double from = done.end;
      done.end = Exchange(from, model::kRequestBytes, model::kResponseHeaderBytes + model::kReleaseBytes,
                          model::kDownloadSeconds);
      host_.Download(from, model::WireBytes(model::kResponseHeaderBytes + model::kReleaseBytes));
      done.installed = true;
    }
    return done;
  }

  // One request on a connection of its own, closed by the client once the answer is in; gives the end.
  double Exchange(double at, std::int64_t request, std::int64_t response, double transferSeconds) {
    host_.Handshake(at);
    host_.Bytes(model::kTcpOpenBytes + model::kTlsHandshakeBytes + model::WireBytes(request) +
                model::WireBytes(response) + model::kCloseBytes);
    const double end = at + (model::kHandshakeRoundTrips + 1) * model::kRoundTripSeconds + transferSeconds;
    host_.Connection(at, end);
    return end;
  }

  // The decision code's way: one connection kept while the host keeps it, conditional requests, the
  // staged rollout.
  Done FleetCheck(double at) {
    Done done;
    Settle(at);
    const Answer answer = AnswerAt(at);
    if (answer == Answer::kNothing) {
      ++tally_.unanswered;
      done.end = at + model::kNoAnswerSeconds;
      done.report.outcome = ClassifyAnswer(0, L"");
      return done;
    }
    double start = at;
    if (!connection_.open) start = Connect(at);
    host_.ManifestRequest(at);
    done.end = start + model::kRoundTripSeconds;
    host_.Bytes(model::WireBytes(model::kRequestBytes + (version_ != 0 ? model::kValidatorBytes : 0)));
    if (answer == Answer::kRetryAfter) {
      // nginx sends its Date; the Retry-After names the outage's end as a date, the hardest case for a herd.
      const UtcSeconds now = run_.epoch + static_cast<UtcSeconds>(std::floor(at));
      done.report.retryAfter = FormatHttpDate(run_.epoch + static_cast<UtcSeconds>(run_.scenario.outage->to));
      done.report.date = FormatHttpDate(now);
      done.report.clock = now;
      done.report.outcome = ClassifyAnswer(503, done.report.retryAfter);
      host_.Bytes(model::WireBytes(model::kRetryAfterAnswerBytes));
      Used(done.end, 1);
      return done;
    }
    const int version = ManifestAt(at);
    if (version == version_) {
      done.report.outcome = ClassifyAnswer(304, L"");
      host_.Bytes(model::WireBytes(model::kNotModifiedBytes));
    } else {
      done.report.outcome = ClassifyAnswer(200, L"");
      host_.Bytes(model::WireBytes(model::kResponseHeaderBytes + model::kManifestBytes));
      version_ = version;
    }
    int requests = 1;
    if (version == 2 && !hasRelease_) {
      const UtcSeconds now = run_.epoch + static_cast<UtcSeconds>(std::floor(at));
      if (DecideRollout(run_.terms, share_, UpdateRing::kDefault, now).due) {
        Take(at);
        if (!DueByTheRule(at)) tally_.Break("a desktop took the release before its share point was due");
        const std::int64_t download = model::WireBytes(model::kResponseHeaderBytes + model::kReleaseBytes);
        host_.Download(done.end, download);
        host_.Bytes(model::WireBytes(model::kRequestBytes) + download);
        done.end += model::kRoundTripSeconds + model::kDownloadSeconds;
        done.report.outcome = CheckOutcome::kInstalled;
        done.installed = true;
        ++requests;
      }
    }
    Used(done.end, requests);
    return done;
  }

  double FleetWaitSeconds(const Done& done) {
    const CheckWait wait = NextCheckWait(schedule_, pace_, done.report, uniform_);
    CheckTheWait(wait, done);
    return static_cast<double>(wait.ms) / 1000;
  }

  // The rules, restated from the requirement, against what the decision code gave.
  void CheckTheWait(const CheckWait& wait, const Done& done) {
    const std::int64_t interval = run_.intervalSeconds * 1000;
    const std::int64_t spread = model::kSpreadSeconds * 1000;
    const CheckOutcome outcome = done.report.outcome;
    bool ok = true;
    switch (wait.rule) {
      case WaitRule::kInterval:
        ok = wait.ms >= interval * 9 / 10 && wait.ms <= interval * 11 / 10 + spread &&
             (outcome == CheckOutcome::kManifest || outcome == CheckOutcome::kNotModified);
        break;
      case WaitRule::kHostBackOff:
        // Never sooner than an interval; at most the window's cap, or 1.2 intervals where the window has
        // shrunk to the interval.
        ok = wait.ms >= interval &&
             wait.ms <= std::max<std::int64_t>(3600 * 1000, interval * 12 / 10) + spread &&
             (outcome == CheckOutcome::kNoAnswer || outcome == CheckOutcome::kHostError);
        break;
      case WaitRule::kRetryAfter: {
        const std::int64_t floor = std::max(wait.retryAfterSeconds * 1000, interval);
        ok = outcome == CheckOutcome::kRetryAfter && wait.ms >= floor && wait.ms <= floor + interval + spread &&
             done.end + static_cast<double>(wait.ms) / 1000 >= run_.scenario.outage->to;
        break;
      }
      case WaitRule::kFirstCheck:
      case WaitRule::kLocalBackOff:
        ok = false;  // neither follows a check in this model
        break;
    }
    if ((outcome == CheckOutcome::kManifest || outcome == CheckOutcome::kNotModified) && schedule_.hostFailures != 0) {
      ok = false;
    }
    if (!ok) {
      tally_.Break("wait of " + std::to_string(wait.ms) + " ms (rule " + std::to_string(static_cast<int>(wait.rule)) +
                   ") after outcome " + std::to_string(static_cast<int>(outcome)) + " breaks the rules");
    }
  }

  // Independently of the decision code: now - start >= share x hours, in long double, where the share
  // (64 bits) is exact and the product is rounded once, so an exact decision is never flagged.
  bool DueByTheRule(double at) const {
    const long double elapsed =
        static_cast<long double>(run_.epoch + static_cast<UtcSeconds>(std::floor(at)) - run_.terms.start);
    const long double needed = static_cast<long double>(share_) * static_cast<long double>(run_.terms.hours * 3600) /
                               static_cast<long double>(kTwoToThe64);
    return elapsed >= needed;
  }

  void Take(double at) {
    tally_.takes.push_back(at);
    hasRelease_ = true;
    if (!DueByTheRule(at)) ++tally_.earlyTakes;
  }

  // --- The kept connection (fleet) ---

  double Connect(double at) {
    host_.Handshake(at);
    host_.Bytes(model::kTcpOpenBytes + model::kTlsHandshakeBytes);
    connection_ = KeptConnection{true, at, at, 0};
    return at + model::kHandshakeRoundTrips * model::kRoundTripSeconds;
  }

  // After requests that ended at end: nginx closes a connection that served its last request.
  void Used(double end, int requests) {
    connection_.lastEnd = end;
    connection_.requests += requests;
    if (connection_.requests >= model::kKeepAliveRequests || end - connection_.opened > model::kKeepAliveTimeSeconds) {
      Close(end, true);
    }
  }

  // Closes the connection if the host has closed it by at: idle for the keep-alive timeout, or the host
  // went down (no answer) while it was open.
  void Settle(double at) {
    if (!connection_.open) return;
    double closed = connection_.lastEnd + model::kKeepAliveTimeoutSeconds;
    bool orderly = true;
    const std::optional<Outage>& outage = run_.scenario.outage;
    if (outage && !outage->retryAfter && connection_.lastEnd < outage->from && outage->from < closed) {
      closed = outage->from;
      orderly = false;
    }
    if (closed <= at) Close(closed, orderly);
  }

  void Close(double at, bool orderly) {
    host_.Connection(connection_.opened, at);
    if (orderly) host_.Bytes(model::kCloseBytes);
    connection_.open = false;
  }

  struct KeptConnection {
    bool open = false;
    double opened = 0;
    double lastEnd = 0;
    int requests = 0;
  };

  const RunSettings& run_;
  HostLog& host_;
  RunTally& tally_;
  SplitMix64 days_;
  SplitMix64 random_;
  UniformRandom uniform_;
  CheckPace pace_;
  std::uint64_t share_ = 0;
  bool hasRelease_ = false;
  double busyUntil_ = 0;
  // One run of the program.
  ScheduleState schedule_;
  int version_ = 0;  // the manifest version this run holds (its ETag); 0: none
  KeptConnection connection_;
};

}  // namespace

void RunTally::Break(const std::string& what) {
  if (broken.size() < kBrokenKept) broken.push_back(what);
  ++brokenCount;
}

void SimulateDesktop(std::uint64_t index, const RunSettings& run, HostLog& host, RunTally& tally) {
  Walk(index, run, host, tally).Run();
}
