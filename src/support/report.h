// One event told to both the person at the console and the log.
#pragma once

#include "support/console.h"
#include "support/log.h"

// Writes the console line (often longer, with advice for the user) and then the log line. Both texts
// are formatted from the same arguments, in the same order; the shorter text may use only the first
// of them. The console line follows the console's rules (silent without a console or with "--quiet"),
// the log line is always written.
void Report(ConsoleLevel consoleLevel, const wchar_t* consoleFormat, LogLevel logLevel, const wchar_t* logFormat, ...);
