// Console output: the four framed message levels over one writer that handles consoles and redirection.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// Whether the process has a console to write to, and "--quiet". Process-wide because every message of
// every thread reads it; set once by the start-up before any other thread runs.
struct ConsoleState {
  bool haveConsole = false;
  bool quiet = false;
};
void SetConsoleState(const ConsoleState& state);
ConsoleState CurrentConsoleState();

enum class ConsoleLevel {
  kOk,     // standard output, "[ OK  ] "
  kInfo,   // standard output, "[INFO ] "
  kWarn,   // standard error,  "[WARN ] "
  kError,  // standard error,  "[ERROR] "
};

// Silent without a console or with "--quiet"; otherwise one framed line each.
void Ok(const wchar_t* fmt, ...);
void Info(const wchar_t* fmt, ...);
void Warn(const wchar_t* fmt, ...);
void Fail(const wchar_t* fmt, ...);

// The same for a level chosen at run time.
void ConsoleLineV(ConsoleLevel level, const wchar_t* fmt, va_list args);

// Builds the framed line: "[tag] " + message + "\n", within 2048 characters. A message that
// formats to nothing or does not fit is written without the line feed (cut when too long).
std::wstring FrameLine(const wchar_t* tag, const wchar_t* fmt, va_list args);

// Writes text to the handle behind stream: UTF-16 to a real console, UTF-8 bytes otherwise.
void ConsoleWrite(FILE* stream, const wchar_t* text);
