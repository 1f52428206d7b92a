// The freshness rule of signed manifests: seq never goes back, expires allows a day of clock skew, and the
// keys become required once a seq is stored.
#include "update/manifest_freshness.h"

#include <gtest/gtest.h>

namespace {

constexpr UtcSeconds kExpires = 1796889600;  // 2026-12-10T08:00:00Z
const std::optional<std::wstring> kExpiresText = L"2026-12-10T08:00:00Z";
const std::optional<std::wstring> kNone;

Freshness Judge(const std::optional<std::wstring>& seq, const std::optional<std::wstring>& expires,
                std::optional<std::int64_t> stored, UtcSeconds now = kExpires) {
  return JudgeFreshness(seq, expires, stored, now).outcome;
}

TEST(ManifestFreshnessTest, WithoutAStoredSeqAManifestLackingAKeyIsTakenAsBeforeAfterwardsRefused) {
  EXPECT_EQ(Judge(kNone, kNone, std::nullopt), Freshness::kUnchecked);
  EXPECT_EQ(Judge(L"7", kNone, std::nullopt), Freshness::kUnchecked);
  EXPECT_EQ(Judge(kNone, kExpiresText, std::nullopt), Freshness::kUnchecked);
  EXPECT_TRUE(IsFreshEnough(Freshness::kUnchecked));
  EXPECT_EQ(Judge(kNone, kNone, 7), Freshness::kTermsMissing);
  EXPECT_EQ(Judge(L"7", kNone, 7), Freshness::kTermsMissing);
  EXPECT_EQ(Judge(kNone, kExpiresText, 7), Freshness::kTermsMissing);
  EXPECT_FALSE(IsFreshEnough(Freshness::kTermsMissing));
}

TEST(ManifestFreshnessTest, SeqMayStayButNeverGoBack) {
  const FreshnessVerdict first = JudgeFreshness(L"1", kExpiresText, std::nullopt, kExpires);
  EXPECT_EQ(first.outcome, Freshness::kFresh);
  EXPECT_EQ(first.seq, 1);
  EXPECT_EQ(first.expires, kExpires);
  EXPECT_EQ(Judge(L"6", kExpiresText, 7), Freshness::kOlder);
  EXPECT_FALSE(IsFreshEnough(Freshness::kOlder));
  EXPECT_EQ(Judge(L"7", kExpiresText, 7), Freshness::kFresh) << "the same manifest fetched again";
  EXPECT_EQ(JudgeFreshness(L"9223372036854775807", kExpiresText, 7, kExpires).seq, 9223372036854775807LL);
}

TEST(ManifestFreshnessTest, ExpiresPassesForADayOfClockSkewAndNotASecondLonger) {
  EXPECT_EQ(Judge(L"8", kExpiresText, 7, kExpires - 365 * 86400), Freshness::kFresh);
  EXPECT_EQ(Judge(L"8", kExpiresText, 7, kExpires + 86400), Freshness::kFresh);
  EXPECT_EQ(Judge(L"8", kExpiresText, 7, kExpires + 86401), Freshness::kExpired);
  EXPECT_EQ(Judge(L"8", kExpiresText, std::nullopt, kExpires + 86401), Freshness::kExpired);
  EXPECT_FALSE(IsFreshEnough(Freshness::kExpired));
}

TEST(ManifestFreshnessTest, AMalformedKeyIsRefusedWhetherOrNotASeqIsStored) {
  for (const wchar_t* seq :
       {L"", L"0", L"-1", L"+1", L" 5", L"5 ", L"0x10", L"1e3", L"9223372036854775808", L"99999999999999999999999"}) {
    EXPECT_EQ(Judge(seq, kExpiresText, std::nullopt), Freshness::kMalformed)
        << testing::PrintToString(std::wstring(seq));
  }
  EXPECT_EQ(Judge(L"8", L"2026-12-10 08:00:00Z", std::nullopt), Freshness::kMalformed);
  EXPECT_EQ(Judge(kNone, L"", std::nullopt), Freshness::kMalformed);
  EXPECT_EQ(Judge(L"8", L"2026-02-30T08:00:00Z", 7), Freshness::kMalformed);
  EXPECT_FALSE(IsFreshEnough(Freshness::kMalformed));
}

}  // namespace
