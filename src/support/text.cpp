// Bounded wide formatting over the runtime's _vsnwprintf, trimming and the two UTF conversions.
#include "support/text.h"

#include <windows.h>

#include <cwchar>
#include <vector>

int FormatV(wchar_t* buf, size_t cap, const wchar_t* fmt, va_list args) {
  if (cap == 0) return -1;
  // _vsnwprintf leaves the buffer unterminated when the text fills it exactly or overflows.
  int n = _vsnwprintf(buf, cap, fmt, args);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    buf[cap - 1] = L'\0';
    return -1;
  }
  return n;
}

int FormatInto(wchar_t* buf, size_t cap, const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = FormatV(buf, cap, fmt, args);
  va_end(args);
  return n;
}

std::wstring Format(const wchar_t* fmt, ...) {
  std::vector<wchar_t> buf(512);
  for (;;) {
    va_list args;
    va_start(args, fmt);
    int n = FormatV(buf.data(), buf.size(), fmt, args);
    va_end(args);
    if (n >= 0) return std::wstring(buf.data(), static_cast<size_t>(n));
    if (buf.size() >= (1u << 24)) return std::wstring(buf.data());
    buf.resize(buf.size() * 4);
  }
}

std::string ToUtf8(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::string ToUtf8(const std::wstring& text) { return ToUtf8(text.data(), text.size()); }

std::wstring FromUtf8(const std::string& bytes) {
  if (bytes.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

std::wstring TrimW(const std::wstring& text) {
  const wchar_t* blanks = L" \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::wstring::npos) return {};
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

namespace {

bool NeedsEscape(wchar_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F ||
         c == 0x061C || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::wstring EscapeOutsideText(const std::wstring& text) {
  std::wstring safe;
  safe.reserve(text.size());
  for (wchar_t c : text) {
    if (NeedsEscape(c)) {
      safe += Format(L"\\u%04X", static_cast<unsigned>(c));
    } else {
      safe.push_back(c);
    }
  }
  return safe;
}
