// Command line: the console pre-scan, the option loop, forwarded arguments, help and version texts.
#pragma once

#include <string>
#include <vector>

struct RunOptions {
  bool watch = false;
  bool once = false;
  long interval = 3;  // seconds, 1..3600
  std::wstring extractPath;
  bool force = false;
  bool noPaint = false;
  bool autoUpdate = false;
  bool checkUpdate = false;
  long updateInterval = 30;          // seconds, 5..86400
  bool updateIntervalGiven = false;  // "--update-interval" on the command line: the policy's does not apply
  bool showVersion = false;
  std::wstring picturePath;
};

enum class ParseAction {
  Run,      // go on with the run
  Help,     // show the help, exit 0
  Version,  // show the version line, exit 0
  Status,   // report the session's watcher; exit 0, or 10 when none runs
  Stop,     // ask the session's watcher to end; exit 0 once it ended
  Error,    // show the error (and the help when helpAfterError), exit 64
};

struct ParsedCommandLine {
  ParseAction action = ParseAction::Run;
  RunOptions options;
  bool quiet = false;                 // "-q" seen before parsing stopped
  std::vector<std::wstring> fwdArgs;  // what an update hand-over passes on to the restarted program
  std::wstring error;
  bool helpAfterError = false;
};

// True when any argument (also after "--" and option values) asks to keep a console.
bool KeepsConsole(int argc, const wchar_t* const* argv);

// Reads argv[1..argc-1]; pure, prints nothing.
ParsedCommandLine ParseCommandLine(int argc, const wchar_t* const* argv);

// The help text for the program name, as Usage writes it; empty when it does not format.
std::wstring UsageText(const wchar_t* programName);

// Writes the help text to standard output. Callers call it only with a console.
void Usage(const wchar_t* programName);

// Writes "OKAVU Quillmere  v<version>" to standard output.
void PrintVersionLine();
