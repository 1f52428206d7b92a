// Console output: the four framed message levels over one writer that handles consoles and redirection.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

extern bool g_haveConsole;  // written once by the console stage of start-up
extern bool g_quiet;        // "--quiet" / "-q"

// Silent without a console or with g_quiet; otherwise one framed line each.
void Ok(const wchar_t* fmt, ...);    // standard output, "[ OK  ] "
void Info(const wchar_t* fmt, ...);  // standard output, "[INFO ] "
void Warn(const wchar_t* fmt, ...);  // standard error,  "[WARN ] "
void Fail(const wchar_t* fmt, ...);  // standard error,  "[ERROR] "

// Builds the framed line: "[tag] " + message + "\n", within 2048 characters. A message that
// formats to nothing or does not fit is written without the line feed (cut when too long).
std::wstring FrameLine(const wchar_t* tag, const wchar_t* fmt, va_list args);

void Emit(FILE* stream, const wchar_t* tag, const wchar_t* fmt, va_list args);

// Writes text to the handle behind stream: UTF-16 to a real console, UTF-8 bytes otherwise.
void ConsoleWrite(FILE* stream, const wchar_t* text);
