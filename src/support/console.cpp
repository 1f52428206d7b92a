// Console output and message levels.
#include "support/console.h"

#include <windows.h>

#include <io.h>

#include <cwchar>

#include "support/text.h"

namespace {

constexpr size_t kLineChars = 2048;

// Process-wide: written once by the start-up before other threads run, read by every message.
ConsoleState g_console;

struct LevelStyle {
  FILE* stream;
  const wchar_t* tag;
};

LevelStyle StyleOf(ConsoleLevel level) {
  switch (level) {
    case ConsoleLevel::kOk:
      return {stdout, L" OK  "};
    case ConsoleLevel::kInfo:
      return {stdout, L"INFO "};
    case ConsoleLevel::kWarn:
      return {stderr, L"WARN "};
    case ConsoleLevel::kError:
      break;
  }
  return {stderr, L"ERROR"};
}

}  // namespace

void SetConsoleState(const ConsoleState& state) { g_console = state; }

ConsoleState CurrentConsoleState() { return g_console; }

std::wstring FrameLine(const wchar_t* tag, const wchar_t* fmt, va_list args) {
  wchar_t buf[kLineChars];
  int len = FormatInto(buf, kLineChars, L"[%ls] ", tag);
  if (len < 1 || len > 1999) return std::wstring(buf);
  const size_t frame = static_cast<size_t>(len);
  const int n = FormatV(buf + frame, kLineChars - frame, fmt, args);
  // A value from outside never ends the line early or forges another one.
  std::wstring line = std::wstring(buf, frame) + EscapeOutsideText(buf + frame);
  // Empty or cut message (one that fills the buffer counts as cut): the frame and whatever fitted go out
  // without a line break.
  if (n > 0 && frame + static_cast<size_t>(n) <= kLineChars - 2) line += L'\n';
  return line;
}

void ConsoleWrite(FILE* stream, const wchar_t* text) {
  intptr_t os = _get_osfhandle(_fileno(stream));
  HANDLE h = reinterpret_cast<HANDLE>(os);
  if (os == 0 || h == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(h, &mode)) {
    // A real console takes UTF-16 directly, whatever its code page.
    WriteConsoleW(h, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
    return;
  }
  std::string bytes = ToUtf8(text, wcslen(text));
  if (bytes.empty()) return;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void ConsoleLineV(ConsoleLevel level, const wchar_t* fmt, va_list args) {
  if (!g_console.haveConsole || g_console.quiet) return;
  const LevelStyle style = StyleOf(level);
  ConsoleWrite(style.stream, FrameLine(style.tag, fmt, args).c_str());
}

// The four level functions differ only in their level; C variadic arguments cannot be forwarded otherwise.
#define OKAVU_CONSOLE_LEVEL(name, level) \
  void name(const wchar_t* fmt, ...) {   \
    va_list args;                        \
    va_start(args, fmt);                 \
    ConsoleLineV(level, fmt, args);      \
    va_end(args);                        \
  }

OKAVU_CONSOLE_LEVEL(Ok, ConsoleLevel::kOk)
OKAVU_CONSOLE_LEVEL(Info, ConsoleLevel::kInfo)
OKAVU_CONSOLE_LEVEL(Warn, ConsoleLevel::kWarn)
OKAVU_CONSOLE_LEVEL(Fail, ConsoleLevel::kError)
