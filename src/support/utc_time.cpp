// UTC time text over the proleptic Gregorian calendar, counted in whole days from 1970-01-01.
#include "support/utc_time.h"

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr int kMaxYear = 9999;

constexpr const wchar_t* kMonths[12] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                        L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
// Monday first.
constexpr const wchar_t* kShortDays[7] = {L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat", L"Sun"};
constexpr const wchar_t* kLongDays[7] = {L"Monday", L"Tuesday",  L"Wednesday", L"Thursday",
                                         L"Friday", L"Saturday", L"Sunday"};

struct CivilTime {
  std::int64_t year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;  // 0..59, or 60 in an HTTP date
};

bool IsLeapYear(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(std::int64_t year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a day; eras of 400 years repeat the calendar exactly.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  if (month <= 2) --year;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
  const std::int64_t quotient = value / divisor;
  return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

CivilTime CivilFromSeconds(UtcSeconds seconds) {
  const std::int64_t days = FloorDiv(seconds, kSecondsPerDay);
  const std::int64_t rest = seconds - days * kSecondsPerDay;
  const std::int64_t shifted = days + 719468;  // days from 0000-03-01
  const std::int64_t era = FloorDiv(shifted, 146097);
  const std::int64_t dayOfEra = shifted - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  CivilTime civil;
  civil.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  civil.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  civil.year = yearOfEra + era * 400 + (civil.month <= 2 ? 1 : 0);
  civil.hour = static_cast<int>(rest / 3600);
  civil.minute = static_cast<int>(rest / 60 % 60);
  civil.second = static_cast<int>(rest % 60);
  return civil;
}

int Weekday(UtcSeconds seconds) {  // 0 Monday; 1970-01-01 was a Thursday
  return static_cast<int>((FloorDiv(seconds, kSecondsPerDay) % 7 + 7 + 3) % 7);
}

std::optional<UtcSeconds> ToSeconds(const CivilTime& t, int maxSecond) {
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month)) return std::nullopt;
  if (t.hour > 23 || t.minute > 59 || t.second > maxSecond) return std::nullopt;
  return DaysFromCivil(t.year, t.month, t.day) * kSecondsPerDay + t.hour * 3600 + t.minute * 60 + t.second;
}

// Reads fixed-form text from left to right; a step that does not match leaves the reader failed.
class Reader {
 public:
  explicit Reader(const std::wstring& text) : text_(text) {}

  Reader& Literal(const wchar_t* expected) {
    for (; ok_ && *expected != L'\0'; ++expected) ok_ = pos_ < text_.size() && text_[pos_++] == *expected;
    return *this;
  }

  // Exactly count decimal digits.
  template <typename Number>
  Reader& Digits(int count, Number& value) {
    value = 0;
    for (int i = 0; ok_ && i < count; ++i) {
      ok_ = pos_ < text_.size() && text_[pos_] >= L'0' && text_[pos_] <= L'9';
      if (ok_) value = static_cast<Number>(value * 10 + (text_[pos_++] - L'0'));
    }
    return *this;
  }

  // One of names, exactly; index is its place in names.
  template <size_t Count>
  Reader& Name(const wchar_t* const (&names)[Count], int& index) {
    if (!ok_) return *this;
    for (size_t i = 0; i < Count; ++i) {
      const size_t length = std::char_traits<wchar_t>::length(names[i]);
      if (text_.compare(pos_, length, names[i]) == 0) {
        index = static_cast<int>(i);
        pos_ += length;
        return *this;
      }
    }
    ok_ = false;
    return *this;
  }

  bool Next(wchar_t c) const { return ok_ && pos_ < text_.size() && text_[pos_] == c; }
  bool Complete() const { return ok_ && pos_ == text_.size(); }

 private:
  const std::wstring& text_;
  size_t pos_ = 0;
  bool ok_ = true;
};

Reader& TimeOfDay(Reader& reader, CivilTime& t) {
  return reader.Digits(2, t.hour).Literal(L":").Digits(2, t.minute).Literal(L":").Digits(2, t.second);
}

std::optional<UtcSeconds> ImfFixdate(const std::wstring& text) {
  CivilTime t;
  int weekday = 0;
  Reader reader(text);
  reader.Name(kShortDays, weekday).Literal(L", ").Digits(2, t.day).Literal(L" ").Name(kMonths, t.month);
  TimeOfDay(reader.Literal(L" ").Digits(4, t.year).Literal(L" "), t).Literal(L" GMT");
  ++t.month;
  return reader.Complete() ? ToSeconds(t, 60) : std::nullopt;
}

std::optional<UtcSeconds> TwoDigitYearDate(const std::wstring& text, UtcSeconds reference) {
  CivilTime t;
  int weekday = 0;
  int yearInCentury = 0;
  Reader reader(text);
  reader.Name(kLongDays, weekday).Literal(L", ").Digits(2, t.day).Literal(L"-").Name(kMonths, t.month);
  TimeOfDay(reader.Literal(L"-").Digits(2, yearInCentury).Literal(L" "), t).Literal(L" GMT");
  if (!reader.Complete()) return std::nullopt;
  ++t.month;
  const std::int64_t referenceYear = CivilFromSeconds(reference).year;
  // The year with those digits in (reference - 50, reference + 50]: never more than 50 years ahead.
  t.year = FloorDiv(referenceYear, 100) * 100 + yearInCentury;
  if (t.year > referenceYear + 50) t.year -= 100;
  if (t.year <= referenceYear - 50) t.year += 100;
  return ToSeconds(t, 60);
}

std::optional<UtcSeconds> AsctimeDate(const std::wstring& text) {
  CivilTime t;
  int weekday = 0;
  Reader reader(text);
  reader.Name(kShortDays, weekday).Literal(L" ").Name(kMonths, t.month).Literal(L" ");
  // The day is two digits, or a blank and one digit.
  if (reader.Next(L' ')) {
    reader.Literal(L" ").Digits(1, t.day);
  } else {
    reader.Digits(2, t.day);
  }
  TimeOfDay(reader.Literal(L" "), t).Literal(L" ").Digits(4, t.year);
  ++t.month;
  return reader.Complete() ? ToSeconds(t, 60) : std::nullopt;
}

// value in decimal, with leading zeros to width digits.
std::wstring Number(std::int64_t value, int width) {
  std::wstring digits;
  for (; value > 0 || static_cast<int>(digits.size()) < width; value /= 10) {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
  }
  return digits;
}

// "HH:MM:SS"
std::wstring Clock(const CivilTime& t) {
  return Number(t.hour, 2) + L':' + Number(t.minute, 2) + L':' + Number(t.second, 2);
}

// Seconds moved into the years that four digits can write.
UtcSeconds WithinWrittenYears(UtcSeconds seconds) {
  const UtcSeconds first = DaysFromCivil(0, 1, 1) * kSecondsPerDay;
  const UtcSeconds last = DaysFromCivil(kMaxYear + 1, 1, 1) * kSecondsPerDay - 1;
  return seconds < first ? first : seconds > last ? last : seconds;
}

}  // namespace

std::optional<UtcSeconds> ParseUtcTime(const std::wstring& text) {
  CivilTime t;
  Reader reader(text);
  reader.Digits(4, t.year).Literal(L"-").Digits(2, t.month).Literal(L"-").Digits(2, t.day).Literal(L"T");
  TimeOfDay(reader, t).Literal(L"Z");
  return reader.Complete() ? ToSeconds(t, 59) : std::nullopt;
}

std::wstring FormatUtcTime(UtcSeconds seconds) {
  const CivilTime t = CivilFromSeconds(WithinWrittenYears(seconds));
  return Number(t.year, 4) + L'-' + Number(t.month, 2) + L'-' + Number(t.day, 2) + L'T' + Clock(t) + L'Z';
}

std::optional<UtcSeconds> ParseHttpDate(const std::wstring& text, UtcSeconds reference) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::nullopt;
  const std::wstring date = text.substr(first, text.find_last_not_of(L" \t") + 1 - first);
  if (std::optional<UtcSeconds> seconds = ImfFixdate(date)) return seconds;
  if (std::optional<UtcSeconds> seconds = TwoDigitYearDate(date, reference)) return seconds;
  return AsctimeDate(date);
}

std::wstring FormatHttpDate(UtcSeconds seconds) {
  seconds = WithinWrittenYears(seconds);
  const CivilTime t = CivilFromSeconds(seconds);
  return std::wstring(kShortDays[Weekday(seconds)]) + L", " + Number(t.day, 2) + L' ' + kMonths[t.month - 1] + L' ' +
         Number(t.year, 4) + L' ' + Clock(t) + L" GMT";
}
