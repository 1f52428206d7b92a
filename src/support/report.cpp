// Console and log together.
#include "support/report.h"

#include <cstdarg>

void Report(ConsoleLevel consoleLevel, const wchar_t* consoleFormat, LogLevel logLevel, const wchar_t* logFormat, ...) {
  va_list args;
  va_start(args, logFormat);
  va_list again;
  va_copy(again, args);
  ConsoleLineV(consoleLevel, consoleFormat, args);
  LogLineV(logLevel, logFormat, again);
  va_end(again);
  va_end(args);
}
