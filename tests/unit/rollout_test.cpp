// The staged rollout: share points from digests worked out by hand, and the due rule of each ring at the
// boundaries of a 24-hour rollout.
#include "update/rollout.h"

#include <gtest/gtest.h>

#include "update/sha256.h"

namespace {

constexpr UtcSeconds kStart = 1796889600;  // 2026-12-10T08:00:00Z
constexpr std::int64_t kDay = 86400;

// A digest whose first eight bytes are these; the rest plays no part.
std::array<unsigned char, 32> Digest(std::initializer_list<unsigned char> first) {
  std::array<unsigned char, 32> digest{};
  digest.fill(0xA5);
  size_t i = 0;
  for (unsigned char byte : first) digest[i++] = byte;
  return digest;
}

const std::array<unsigned char, 32> kHalf = Digest({0x80, 0, 0, 0, 0, 0, 0, 0});
const std::array<unsigned char, 32> kQuarter = Digest({0x40, 0, 0, 0, 0, 0, 0, 0});
const std::array<unsigned char, 32> kZero = Digest({0, 0, 0, 0, 0, 0, 0, 0});
const std::array<unsigned char, 32> kSmallest = Digest({0, 0, 0, 0, 0, 0, 0, 1});  // 2^-64
const std::array<unsigned char, 32> kLargest = Digest({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

// sha256sum of "7d3c1a52-0f4e-4b8a-9c61-2e5f8a9b0c47:0204ff659a8699d9697781f913aefb1491594655f5ca0e4b9184caaba67e2bc2"
// begins 14adcd391a532c5b: share point 1490072696867990619 / 2^64 = 0.08077700275528049, so over 24 h
// (86,400 s) the release is due after 6,979.13 s, at the 6,980th second.
constexpr char kInstallId[] = "7d3c1a52-0f4e-4b8a-9c61-2e5f8a9b0c47";
constexpr char kReleaseDigest[] = "0204FF659A8699D9697781F913AEFB1491594655F5CA0E4B9184CAABA67E2BC2";
const std::array<unsigned char, 32> kWorkedDigest = Digest({0x14, 0xad, 0xcd, 0x39, 0x1a, 0x53, 0x2c, 0x5b});

RolloutTerms Staged(std::int64_t hours) {
  return ReadRolloutTerms(std::wstring(L"2026-12-10T08:00:00Z"), std::to_wstring(hours));
}

UtcSeconds DueAt(const std::array<unsigned char, 32>& digest, UpdateRing ring, std::int64_t hours = 24) {
  return DecideRollout(Staged(hours), SharePoint(digest), ring, kStart).dueAt;
}

bool DueAfter(const std::array<unsigned char, 32>& digest, UpdateRing ring, std::int64_t seconds) {
  return DecideRollout(Staged(24), SharePoint(digest), ring, kStart + seconds).due;
}

TEST(RolloutTest, TheSharePointIsTheDigestsFirstEightBytesBigEndianOverTwoToTheSixtyFour) {
  EXPECT_EQ(SharePoint(kHalf), 0x8000000000000000ULL);
  EXPECT_EQ(ShareFraction(SharePoint(kHalf)), 0.5);
  EXPECT_EQ(ShareFraction(SharePoint(kQuarter)), 0.25);
  EXPECT_EQ(ShareFraction(SharePoint(kZero)), 0.0);
  EXPECT_EQ(SharePoint(kLargest), 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(ShareFraction(SharePoint(kLargest)), 1.0 - 1.0 / 9007199254740992.0) << "below 1, as a double can say";
  EXPECT_EQ(SharePoint(kWorkedDigest), 1490072696867990619ULL);
  EXPECT_NEAR(ShareFraction(SharePoint(kWorkedDigest)), 0.08077700275528049, 1e-16);
}

TEST(RolloutTest, TheTextToHashIsTheInstallIdAndTheReleaseDigestInLowerCase) {
  const std::string text = ShareText(kInstallId, kReleaseDigest);
  EXPECT_EQ(text,
            "7d3c1a52-0f4e-4b8a-9c61-2e5f8a9b0c47:0204ff659a8699d9697781f913aefb1491594655f5ca0e4b9184caaba67e2bc2");
  // The system's SHA-256 of it gives the worked digest.
  Sha256Hasher hasher;
  hasher.Add(text.data(), text.size());
  const Result<Sha256Digest> digest = hasher.Finish();
  ASSERT_TRUE(digest.ok());
  EXPECT_EQ(HexDigest(digest.value), "14adcd391a532c5b11c22f0c07e800e81224932810fffa6a1085d96025666f05");
  EXPECT_EQ(SharePoint(digest.value), 1490072696867990619ULL);
}

TEST(RolloutTest, ADesktopTakesTheReleaseOnceItsShareOfTheHoursHasPassed) {
  EXPECT_EQ(DueAt(kHalf, UpdateRing::kDefault), kStart + 43200);
  EXPECT_FALSE(DueAfter(kHalf, UpdateRing::kDefault, 43199));
  EXPECT_TRUE(DueAfter(kHalf, UpdateRing::kDefault, 43200));
  EXPECT_EQ(DueAt(kQuarter, UpdateRing::kDefault), kStart + 21600);
  EXPECT_EQ(DueAt(kWorkedDigest, UpdateRing::kDefault), kStart + 6980);
  EXPECT_FALSE(DueAfter(kWorkedDigest, UpdateRing::kDefault, 6979));
  EXPECT_TRUE(DueAfter(kWorkedDigest, UpdateRing::kDefault, 6980));
  // The smallest share above 0 waits a whole second; share 0 takes it at the start, and nobody before.
  EXPECT_EQ(DueAt(kSmallest, UpdateRing::kDefault), kStart + 1);
  EXPECT_FALSE(DueAfter(kSmallest, UpdateRing::kDefault, 0));
  EXPECT_TRUE(DueAfter(kZero, UpdateRing::kDefault, 0));
  EXPECT_FALSE(DueAfter(kZero, UpdateRing::kDefault, -1));
  // The largest share is due in the rollout's last second.
  EXPECT_EQ(DueAt(kLargest, UpdateRing::kDefault), kStart + kDay);
  EXPECT_FALSE(DueAfter(kLargest, UpdateRing::kDefault, kDay - 1));
  // The longest rollout, a year: 0.5 x 8760 h.
  EXPECT_EQ(DueAt(kHalf, UpdateRing::kDefault, 8760), kStart + 4380 * 3600);
  // rollout_hours=0: everyone at the start.
  EXPECT_EQ(DueAt(kLargest, UpdateRing::kDefault, 0), kStart);
}

TEST(RolloutTest, RingZeroTakesItAtTheStartAndRingTwoOnceEveryoneHasIt) {
  EXPECT_EQ(DueAt(kLargest, UpdateRing::kEarly), kStart);
  EXPECT_FALSE(DueAfter(kLargest, UpdateRing::kEarly, -1));
  EXPECT_TRUE(DueAfter(kLargest, UpdateRing::kEarly, 0));
  EXPECT_EQ(DueAt(kZero, UpdateRing::kLate), kStart + kDay);
  EXPECT_FALSE(DueAfter(kZero, UpdateRing::kLate, kDay - 1));
  EXPECT_TRUE(DueAfter(kZero, UpdateRing::kLate, kDay));
  EXPECT_EQ(RingFromPolicy(0), UpdateRing::kEarly);
  EXPECT_EQ(RingFromPolicy(1), UpdateRing::kDefault);
  EXPECT_EQ(RingFromPolicy(2), UpdateRing::kLate);
  EXPECT_EQ(RingFromPolicy(3), UpdateRing::kDefault);
  EXPECT_EQ(RingFromPolicy(0xFFFFFFFFUL), UpdateRing::kDefault);
}

TEST(RolloutTest, WithoutBothKeysTheReleaseIsForEveryoneAndHalfAKeyOrABadValueIsUnusable) {
  const RolloutTerms everyone = ReadRolloutTerms(std::nullopt, std::nullopt);
  EXPECT_EQ(everyone.form, RolloutForm::kEveryone);
  const RolloutDecision now = DecideRollout(everyone, SharePoint(kLargest), UpdateRing::kLate, 0);
  EXPECT_TRUE(now.due);
  EXPECT_EQ(now.dueAt, 0);

  const RolloutTerms staged = Staged(8760);
  EXPECT_EQ(staged.form, RolloutForm::kStaged);
  EXPECT_EQ(staged.start, kStart);
  EXPECT_EQ(staged.hours, 8760);

  const std::optional<std::wstring> start = L"2026-12-10T08:00:00Z";
  EXPECT_EQ(ReadRolloutTerms(start, std::nullopt).form, RolloutForm::kMalformed);
  EXPECT_EQ(ReadRolloutTerms(std::nullopt, L"24").form, RolloutForm::kMalformed);
  for (const wchar_t* hours : {L"", L"8761", L"-1", L"+1", L" 24", L"24h", L"1.5", L"99999999999999999999"}) {
    EXPECT_EQ(ReadRolloutTerms(start, hours).form, RolloutForm::kMalformed)
        << testing::PrintToString(std::wstring(hours));
  }
  EXPECT_EQ(ReadRolloutTerms(L"2026-12-10T08:00:00z", L"24").form, RolloutForm::kMalformed);
  EXPECT_EQ(ReadRolloutTerms(L"", L"24").form, RolloutForm::kMalformed);
  RolloutTerms broken;
  broken.form = RolloutForm::kMalformed;
  EXPECT_FALSE(DecideRollout(broken, 0, UpdateRing::kEarly, kStart + kDay).due);
}

}  // namespace
