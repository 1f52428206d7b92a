// UTC times as text: the manifest's exact "YYYY-MM-DDTHH:MM:SSZ" and the three forms of an HTTP date, to
// and from seconds since 1970. No clock, time zone or locale is read here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Seconds since 1970-01-01T00:00:00Z, negative before it; leap seconds are not counted.
using UtcSeconds = std::int64_t;

// Reads exactly "YYYY-MM-DDTHH:MM:SSZ": 20 characters, upper-case 'T' and 'Z', a real calendar day, hours
// 00..23, minutes and seconds 00..59. Anything else is malformed and gives nothing.
std::optional<UtcSeconds> ParseUtcTime(const std::wstring& text);

// Writes "YYYY-MM-DDTHH:MM:SSZ"; for the years 0000..9999.
std::wstring FormatUtcTime(UtcSeconds seconds);

// Reads an HTTP date in each form a recipient must accept, blanks around it allowed:
//   "Sun, 06 Nov 1994 08:49:37 GMT"   (IMF-fixdate, the one servers send)
//   "Sunday, 06-Nov-94 08:49:37 GMT"  (obsolete, two-digit year)
//   "Sun Nov  6 08:49:37 1994"        (asctime)
// Names are case-sensitive; the weekday is not checked against the date; second 60 (a leap second) is
// taken as the next second. A two-digit year is the one with those digits that lies within 50 years of
// reference's year: never more than 50 years ahead, as the most recent such year otherwise.
std::optional<UtcSeconds> ParseHttpDate(const std::wstring& text, UtcSeconds reference);

// Writes an IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT"; for the years 0000..9999.
std::wstring FormatHttpDate(UtcSeconds seconds);
