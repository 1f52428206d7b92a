// The pace of update checks over a random source that the test sets: 0 gives the start of each window,
// just under 1 its end. Every expected wait is counted by hand from the rules.
#include "update/update_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr double kLow = 0.0;
constexpr double kHigh = 0.99999999999999989;  // the largest double below 1

// Hands out values in turn; asking for more than were given fails the test.
class Draws {
 public:
  UniformRandom Source() {
    return [this] {
      EXPECT_LT(next_, values_.size()) << "a random value more than the test expected";
      return next_ < values_.size() ? values_[next_++] : 0.0;
    };
  }
  void Give(std::vector<double> values) {
    values_ = std::move(values);
    next_ = 0;
  }
  bool AllTaken() const { return next_ == values_.size(); }

 private:
  std::vector<double> values_;
  size_t next_ = 0;
};

// Runs one report through the schedule with the given random values.
struct Schedule {
  CheckPace pace;
  ScheduleState state;
  Draws draws;

  CheckWait After(CheckOutcome outcome, std::vector<double> values, const wchar_t* retryAfter = L"",
                  const wchar_t* date = L"") {
    draws.Give(std::move(values));
    CheckReport report;
    report.outcome = outcome;
    report.retryAfter = retryAfter;
    report.date = date;
    const CheckWait wait = NextCheckWait(state, pace, report, draws.Source());
    EXPECT_TRUE(draws.AllTaken());
    return wait;
  }
  std::int64_t Ms(CheckOutcome outcome, double value) { return After(outcome, {value}).ms; }
};

Schedule WithInterval(std::int64_t interval, std::int64_t spread = 0) {
  Schedule s;
  s.pace.intervalSeconds = interval;
  s.pace.spreadSeconds = spread;
  return s;
}

std::int64_t FirstMs(std::int64_t interval, std::int64_t spread, std::vector<double> values) {
  Draws draws;
  draws.Give(std::move(values));
  const CheckWait wait = FirstCheckWait(CheckPace{interval, spread}, draws.Source());
  EXPECT_TRUE(draws.AllTaken());
  EXPECT_EQ(wait.rule, WaitRule::kFirstCheck);
  return wait.ms;
}

TEST(UpdateScheduleTest, TheFirstCheckComesBetweenFiveSecondsAndTheSmallerOfIntervalAndAnHour) {
  EXPECT_EQ(FirstMs(30, 0, {kLow}), 5000);
  EXPECT_EQ(FirstMs(30, 0, {kHigh}), 30000);
  EXPECT_EQ(FirstMs(3600, 0, {kLow}), 5000);
  EXPECT_EQ(FirstMs(3600, 0, {kHigh}), 3600000);
  EXPECT_EQ(FirstMs(86400, 0, {kHigh}), 3600000);
  EXPECT_EQ(FirstMs(5, 0, {kHigh}), 5000);
  // The policy's spread adds to it, from a second value.
  EXPECT_EQ(FirstMs(3600, 600, {kLow, kHigh}), 605000);
  EXPECT_EQ(FirstMs(3600, 600, {kHigh, kLow}), 3600000);
}

TEST(UpdateScheduleTest, AnAnswerGivesTheIntervalTimesPointNineToOnePointOnePlusTheSpread) {
  Schedule s = WithInterval(30);
  EXPECT_EQ(s.Ms(CheckOutcome::kManifest, kLow), 27000);
  EXPECT_EQ(s.Ms(CheckOutcome::kManifest, kHigh), 33000);
  EXPECT_EQ(s.Ms(CheckOutcome::kNotModified, kLow), 27000);
  EXPECT_EQ(s.Ms(CheckOutcome::kNotModified, 0.5), 30000);
  EXPECT_EQ(s.After(CheckOutcome::kManifest, {kLow}).rule, WaitRule::kInterval);

  Schedule spread = WithInterval(3600, 600);
  EXPECT_EQ(spread.After(CheckOutcome::kNotModified, {kLow, kLow}).ms, 3240000);
  EXPECT_EQ(spread.After(CheckOutcome::kNotModified, {kHigh, kHigh}).ms, 4560000);
}

TEST(UpdateScheduleTest, TheHostsFailuresDoubleTheWindowUpToAnHourAndAnAnswerResetsThem) {
  Schedule low = WithInterval(30);
  Schedule high = WithInterval(30);
  // n = 1..9: W = 60, 120, ... 3840 capped to 3600; the wait is W/2 with 0, W with just under 1.
  const std::vector<std::int64_t> lowEnds = {30000, 60000, 120000, 240000, 480000, 960000, 1800000, 1800000, 1800000};
  const std::vector<std::int64_t> highEnds = {60000,   120000,  240000,  480000, 960000,
                                              1920000, 3600000, 3600000, 3600000};
  for (size_t i = 0; i < lowEnds.size(); ++i) {
    // No answer and an error answer are failures of one kind.
    const CheckOutcome outcome = i % 2 == 0 ? CheckOutcome::kNoAnswer : CheckOutcome::kHostError;
    const CheckWait wait = low.After(outcome, {kLow});
    EXPECT_EQ(wait.ms, lowEnds[i]) << "failure " << i + 1;
    EXPECT_EQ(wait.rule, WaitRule::kHostBackOff);
    EXPECT_EQ(wait.failures, static_cast<int>(i + 1));
    EXPECT_EQ(high.Ms(outcome, kHigh), highEnds[i]) << "failure " << i + 1;
  }
  EXPECT_EQ(low.Ms(CheckOutcome::kNotModified, kLow), 27000);
  EXPECT_EQ(low.Ms(CheckOutcome::kNoAnswer, kHigh), 60000) << "a 304 starts the count afresh";
  EXPECT_EQ(low.Ms(CheckOutcome::kNoAnswer, kHigh), 120000);
  EXPECT_EQ(low.Ms(CheckOutcome::kManifest, kHigh), 33000);
  EXPECT_EQ(low.Ms(CheckOutcome::kHostError, kLow), 30000) << "so does a 200";
}

TEST(UpdateScheduleTest, ABackOffNeverWaitsLessThanTheInterval) {
  // Interval and cap both 1 h: W = 1 h, and the wait is raised to [1, 1.2] intervals, still spread so
  // that desktops failing together do not return together.
  Schedule hour = WithInterval(3600);
  EXPECT_EQ(hour.Ms(CheckOutcome::kNoAnswer, kLow), 3600000);
  EXPECT_EQ(hour.Ms(CheckOutcome::kNoAnswer, kHigh), 4320000);
  // An interval above the cap: W is the interval.
  Schedule day = WithInterval(86400);
  EXPECT_EQ(day.Ms(CheckOutcome::kHostError, kLow), 86400000);
  EXPECT_EQ(day.Ms(CheckOutcome::kLocalFault, kLow), 86400000);
  // The spread still adds to it.
  Schedule spread = WithInterval(30, 10);
  EXPECT_EQ(spread.After(CheckOutcome::kNoAnswer, {kLow, kHigh}).ms, 40000);
}

TEST(UpdateScheduleTest, ARunThatStartsAfterLocalFaultsKeepsTheirBackOff) {
  Schedule s = WithInterval(30);
  s.draws.Give({kLow});
  EXPECT_EQ(StartWait(s.state, s.pace, s.draws.Source()).rule, WaitRule::kFirstCheck);
  s.state.localFaults = 3;  // W = 240 s
  s.draws.Give({kHigh});
  const CheckWait resumed = StartWait(s.state, s.pace, s.draws.Source());
  EXPECT_EQ(resumed.rule, WaitRule::kLocalBackOff);
  EXPECT_EQ(resumed.ms, 240000);
  EXPECT_EQ(s.state.localFaults, 3) << "starting counts no new fault";
}

TEST(UpdateScheduleTest, LocalFaultsBackOffUpToSixHoursUntilAnInstall) {
  Schedule s = WithInterval(30);
  EXPECT_EQ(s.Ms(CheckOutcome::kNoAnswer, kLow), 30000);
  EXPECT_EQ(s.Ms(CheckOutcome::kNoAnswer, kLow), 60000);
  const CheckWait first = s.After(CheckOutcome::kLocalFault, {kLow});
  EXPECT_EQ(first.ms, 30000);
  EXPECT_EQ(first.rule, WaitRule::kLocalBackOff);
  EXPECT_EQ(s.Ms(CheckOutcome::kNoAnswer, kLow), 30000) << "a local fault comes after a manifest: the host answered";
  EXPECT_EQ(s.Ms(CheckOutcome::kLocalFault, kLow), 60000);
  EXPECT_EQ(s.Ms(CheckOutcome::kManifest, kLow), 27000);
  EXPECT_EQ(s.Ms(CheckOutcome::kLocalFault, kLow), 120000) << "an answer does not reset local faults";
  for (int n = 4; n <= 9; ++n) s.Ms(CheckOutcome::kLocalFault, kLow);
  // n = 10: W = min(6 h, 30 s x 1024) = 6 h.
  EXPECT_EQ(s.Ms(CheckOutcome::kLocalFault, kHigh), 21600000);
  EXPECT_EQ(s.Ms(CheckOutcome::kLocalFault, kLow), 10800000);
  EXPECT_EQ(s.Ms(CheckOutcome::kInstalled, kLow), 27000);
  EXPECT_EQ(s.Ms(CheckOutcome::kLocalFault, kHigh), 60000) << "an install starts the count afresh";
}

TEST(UpdateScheduleTest, RetryAfterPutsTheNextCheckNoEarlierThanAskedNorThanOneIntervalPlusJitter) {
  Schedule s = WithInterval(30);
  CheckWait wait = s.After(CheckOutcome::kRetryAfter, {kLow}, L"600");
  EXPECT_EQ(wait.ms, 600000);
  EXPECT_EQ(wait.rule, WaitRule::kRetryAfter);
  EXPECT_EQ(wait.retryAfterSeconds, 600);
  EXPECT_EQ(s.After(CheckOutcome::kRetryAfter, {kHigh}, L"600").ms, 630000);
  // Less than the interval: one interval, plus the random part.
  EXPECT_EQ(s.After(CheckOutcome::kRetryAfter, {kLow}, L"10").ms, 30000);
  EXPECT_EQ(s.After(CheckOutcome::kRetryAfter, {kHigh}, L"10").ms, 60000);
  EXPECT_EQ(s.After(CheckOutcome::kRetryAfter, {kLow}, L"0").ms, 30000);
  // At most 24 h, however large the number.
  EXPECT_EQ(s.After(CheckOutcome::kRetryAfter, {kLow}, L"86401").ms, 86400000);
  EXPECT_EQ(s.After(CheckOutcome::kRetryAfter, {kLow}, L"99999999999999999999999999").ms, 86400000);

  // Retry-After counts as a failure of the host: no answer after it is the second in a row.
  Schedule t = WithInterval(30);
  EXPECT_EQ(t.After(CheckOutcome::kRetryAfter, {kLow}, L"600").failures, 1);
  EXPECT_EQ(t.Ms(CheckOutcome::kNoAnswer, kLow), 60000);
}

TEST(UpdateScheduleTest, ARetryAfterDateCountsFromTheResponsesOwnDate) {
  const wchar_t* kDate = L"Thu, 10 Dec 2026 08:00:00 GMT";
  // The desktop's clock (0 here, 1970) plays no part.
  EXPECT_EQ(RetryAfterSeconds(L"Thu, 10 Dec 2026 08:10:00 GMT", kDate, 0), 600);
  EXPECT_EQ(RetryAfterSeconds(L"Thursday, 10-Dec-26 08:10:00 GMT", L"Thu Dec 10 08:00:00 2026", 1796889600), 600);
  EXPECT_EQ(RetryAfterSeconds(L"Thu Dec 10 09:00:00 2026", kDate, 0), 3600);
  EXPECT_EQ(RetryAfterSeconds(L"Thu, 10 Dec 2026 07:00:00 GMT", kDate, 0), 0) << "a date already past";
  EXPECT_EQ(RetryAfterSeconds(L"Sat, 12 Dec 2026 08:00:00 GMT", kDate, 0), 86400) << "two days ahead";
  EXPECT_EQ(RetryAfterSeconds(L" 120 ", L"", 0), 120) << "seconds need no Date";
  for (const wchar_t* unreadable : {L"", L"-5", L"+5", L"5.5", L"1e3", L"soon", L"Thu, 10 Dec 2026 08:10:00"}) {
    EXPECT_EQ(RetryAfterSeconds(unreadable, kDate, 0), std::nullopt)
        << testing::PrintToString(std::wstring(unreadable));
  }
  EXPECT_EQ(RetryAfterSeconds(L"Thu, 10 Dec 2026 08:10:00 GMT", L"", 0), std::nullopt) << "no Date";
  EXPECT_EQ(RetryAfterSeconds(L"Thu, 10 Dec 2026 08:10:00 GMT", L"yesterday", 0), std::nullopt);

  Schedule s = WithInterval(30);
  EXPECT_EQ(s.After(CheckOutcome::kRetryAfter, {kHigh}, L"Thu, 10 Dec 2026 08:10:00 GMT", kDate).ms, 630000);
  // A date without a Date to count from is a failure without Retry-After.
  const CheckWait wait = s.After(CheckOutcome::kRetryAfter, {kHigh}, L"Thu, 10 Dec 2026 08:10:00 GMT");
  EXPECT_EQ(wait.rule, WaitRule::kHostBackOff);
  EXPECT_EQ(wait.ms, 120000);
}

TEST(UpdateScheduleTest, AnswersAreClassifiedByStatusAndRetryAfter) {
  EXPECT_EQ(ClassifyAnswer(0, L""), CheckOutcome::kNoAnswer);
  EXPECT_EQ(ClassifyAnswer(200, L"60"), CheckOutcome::kManifest);
  EXPECT_EQ(ClassifyAnswer(304, L""), CheckOutcome::kNotModified);
  EXPECT_EQ(ClassifyAnswer(503, L"120"), CheckOutcome::kRetryAfter);
  EXPECT_EQ(ClassifyAnswer(429, L"Thu, 10 Dec 2026 08:10:00 GMT"), CheckOutcome::kRetryAfter);
  EXPECT_EQ(ClassifyAnswer(503, L""), CheckOutcome::kHostError);
  EXPECT_EQ(ClassifyAnswer(429, L"  "), CheckOutcome::kHostError);
  EXPECT_EQ(ClassifyAnswer(500, L"120"), CheckOutcome::kHostError);
  EXPECT_EQ(ClassifyAnswer(404, L""), CheckOutcome::kHostError);
  EXPECT_EQ(ClassifyAnswer(302, L""), CheckOutcome::kHostError);
}

}  // namespace
