// UTC time text: the manifest's exact form and the three HTTP-date forms, against dates counted by hand.
#include "support/utc_time.h"

#include <gtest/gtest.h>

namespace {

constexpr UtcSeconds kNovember1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
constexpr UtcSeconds kYear2026 = 1796889600;     // 2026-12-10T08:00:00Z
constexpr UtcSeconds kYear1999 = 915148800;      // 1999-01-01T00:00:00Z

TEST(UtcTimeTest, ReadsAndWritesTheManifestForm) {
  EXPECT_EQ(ParseUtcTime(L"1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(ParseUtcTime(L"1969-12-31T23:59:59Z"), -1);
  EXPECT_EQ(ParseUtcTime(L"2026-12-10T08:00:00Z"), kYear2026);
  EXPECT_EQ(ParseUtcTime(L"2000-02-29T23:59:59Z"), 951868799);  // 2000 is divisible by 400: a leap year
  EXPECT_EQ(ParseUtcTime(L"2024-02-29T12:00:00Z"), 1709208000);
  EXPECT_EQ(ParseUtcTime(L"9999-12-31T23:59:59Z"), 253402300799);
  EXPECT_EQ(FormatUtcTime(kYear2026), L"2026-12-10T08:00:00Z");
  EXPECT_EQ(FormatUtcTime(-1), L"1969-12-31T23:59:59Z");
  EXPECT_EQ(FormatUtcTime(951868799), L"2000-02-29T23:59:59Z");
  EXPECT_EQ(FormatUtcTime(-62167219200), L"0000-01-01T00:00:00Z");
  EXPECT_EQ(FormatUtcTime(253402300799), L"9999-12-31T23:59:59Z");
}

TEST(UtcTimeTest, AnythingButTheExactManifestFormIsMalformed) {
  for (const wchar_t* text : {
           L"",
           L"2026-12-10T08:00:00",
           L"2026-12-10T08:00:00z",
           L"2026-12-10t08:00:00Z",
           L"2026-12-10 08:00:00Z",
           L" 2026-12-10T08:00:00Z",
           L"2026-12-10T08:00:00Z ",
           L"2026-12-10T08:00:00.0Z",
           L"2026-12-10T08:00:00+00:00",
           L"2026-1-10T08:00:00Z",
           L"+2026-12-10T08:00:00Z",
           L"2026-12-10T08:00Z",
           L"2026-02-30T08:00:00Z",  // no February 30
           L"2025-02-29T00:00:00Z",  // 2025 is no leap year
           L"2100-02-29T00:00:00Z",  // nor is 2100
           L"2026-04-31T00:00:00Z",
           L"2026-13-01T00:00:00Z",
           L"2026-00-01T00:00:00Z",
           L"2026-12-00T00:00:00Z",
           L"2026-12-10T24:00:00Z",
           L"2026-12-10T23:60:00Z",
           L"2026-12-10T23:59:60Z",
           L"\xFF12\xFF10\xFF12\xFF16-12-10T08:00:00Z",  // full-width digits
       }) {
    EXPECT_EQ(ParseUtcTime(text), std::nullopt) << testing::PrintToString(std::wstring(text));
  }
}

TEST(UtcTimeTest, ReadsTheThreeHttpDateForms) {
  EXPECT_EQ(ParseHttpDate(L"Sun, 06 Nov 1994 08:49:37 GMT", kYear2026), kNovember1994);
  EXPECT_EQ(ParseHttpDate(L"Sunday, 06-Nov-94 08:49:37 GMT", kYear2026), kNovember1994);
  EXPECT_EQ(ParseHttpDate(L"Sun Nov  6 08:49:37 1994", kYear2026), kNovember1994);
  EXPECT_EQ(ParseHttpDate(L"Sun Nov 06 08:49:37 1994", kYear2026), kNovember1994);
  EXPECT_EQ(ParseHttpDate(L" \tSun, 06 Nov 1994 08:49:37 GMT \t", kYear2026), kNovember1994);
  // A leap second is the first second of the next minute.
  EXPECT_EQ(ParseHttpDate(L"Wed, 31 Dec 2008 23:59:60 GMT", kYear2026), 1230768000);
  EXPECT_EQ(FormatHttpDate(kNovember1994), L"Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(FormatHttpDate(kYear2026), L"Thu, 10 Dec 2026 08:00:00 GMT");
}

TEST(UtcTimeTest, ATwoDigitYearLiesWithinFiftyYearsOfTheReference) {
  const auto year = [](const wchar_t* twoDigits, UtcSeconds reference) {
    const std::wstring text = std::wstring(L"Friday, 01-Jan-") + twoDigits + L" 00:00:00 GMT";
    const std::optional<UtcSeconds> seconds = ParseHttpDate(text, reference);
    return seconds ? FormatUtcTime(*seconds).substr(0, 4) : L"none";
  };
  EXPECT_EQ(year(L"26", kYear2026), L"2026");
  EXPECT_EQ(year(L"76", kYear2026), L"2076");  // 50 years ahead: still ahead
  EXPECT_EQ(year(L"77", kYear2026), L"1977");  // 51 years ahead: the past instead
  EXPECT_EQ(year(L"00", kYear2026), L"2000");
  EXPECT_EQ(year(L"05", kYear1999), L"2005");
  EXPECT_EQ(year(L"49", kYear1999), L"2049");
  EXPECT_EQ(year(L"50", kYear1999), L"1950");
}

TEST(UtcTimeTest, MalformedHttpDatesGiveNothing) {
  for (const wchar_t* text : {
           L"",
           L"   ",
           L"1994-11-06T08:49:37Z",
           L"784111777",
           L"Sun, 6 Nov 1994 08:49:37 GMT",   // IMF-fixdate has a two-digit day
           L"sun, 06 Nov 1994 08:49:37 GMT",  // names are case-sensitive
           L"Sun, 06 NOV 1994 08:49:37 GMT",
           L"Sun, 06 Nov 1994 08:49:37 UTC",
           L"Sun, 06 Nov 1994 08:49:37",
           L"Sun, 06 Nov 94 08:49:37 GMT",
           L"Sun, 31 Nov 1994 08:49:37 GMT",
           L"Sun, 06 Nov 1994 24:00:00 GMT",
           L"Sun, 06 Nov 1994 08:60:00 GMT",
           L"Sun, 06 Nov 1994 08:49:61 GMT",
           L"Sunday, 06-Nov-1994 08:49:37 GMT",
           L"Sun, 06-Nov-94 08:49:37 GMT",
           L"Sun Nov 6 08:49:37 1994",
           L"Sun Nov  6 08:49:37 94",
           L"Sun, 06 Nov 1994 08:49:37 GMT x",
       }) {
    EXPECT_EQ(ParseHttpDate(text, kYear2026), std::nullopt) << testing::PrintToString(std::wstring(text));
  }
}

}  // namespace
