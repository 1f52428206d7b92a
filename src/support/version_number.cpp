// Version numbers.
#include "support/version_number.h"

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int CompareParts(const int a[4], const int b[4]) {
  for (int i = 0; i < 4; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

}  // namespace

bool ParseVersion(const std::wstring& text, int parts[4]) {
  for (int i = 0; i < 4; ++i) parts[i] = 0;
  size_t pos = 0;
  const size_t end = text.size();
  for (int index = 0; index < 4; ++index) {
    while (pos < end && (text[pos] == L' ' || text[pos] == L'\t')) ++pos;
    if (pos == end || !IsDigit(text[pos])) return index > 0;
    int value = 0;
    while (pos < end && IsDigit(text[pos])) {
      value = value * 10 + (text[pos] - L'0');
      if (value > kVersionPartMax) value = kVersionPartMax;
      ++pos;
    }
    parts[index] = value;
    // Whatever stands between the digits and the next dot ('rc3' in '1.2rc3.4') is ignored.
    while (pos < end && text[pos] != L'.') ++pos;
    if (pos == end) return true;
    ++pos;
    if (pos == end) return true;
  }
  return true;
}

bool IsNewerVersion(const std::wstring& candidate, const std::wstring& current) {
  int a[4];
  int b[4];
  return ParseVersion(candidate, a) && ParseVersion(current, b) && CompareParts(a, b) > 0;
}

bool SameVersionNumbers(const std::wstring& a, const std::wstring& b) {
  int pa[4];
  int pb[4];
  return ParseVersion(a, pa) && ParseVersion(b, pb) && CompareParts(pa, pb) == 0;
}
