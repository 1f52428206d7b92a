// The helper mode: replaces the old executable with the verified download and starts the new version.
#pragma once

#include <string>
#include <vector>

#include "support/exit_codes.h"

// argv[1] is "--apply-update". Returns the helper's exit code.
HelperExit ApplyUpdateMode(int argc, const wchar_t* const* argv);

// What the hand-over put on the helper's command line.
struct ApplyUpdateArgs {
  std::wstring target;                  // "--target": the executable to replace
  std::wstring newFile;                 // "--new": the verified download
  int pid = 0;                          // "--pid": the old process, 0 when absent
  std::wstring expectedVersion;         // "--ver": the version the new file must have
  std::wstring expectedSha256;          // "--sha256": the digest the new file must have
  bool hasSha256 = false;               // "--sha256" was given
  std::wstring workingDirectory;        // "--cwd": where the old process ran; empty: the target's folder
  std::vector<std::wstring> forwarded;  // everything after "--"
};

// Reads argv[2..argc-1]. False when the helper may do nothing (exit 64): nothing after "--apply-update",
// no target, no new file, no version (or an empty one, or "-"), or no digest of 64 hexadecimal digits.
bool ParseApplyUpdateArgs(int argc, const wchar_t* const* argv, ApplyUpdateArgs& args);

// Where the old executable waits while the new one proves itself: target + ".old".
std::wstring BackupPathFor(const std::wstring& target);

// True when the new file's FileVersion may be installed for the expected version: the same text, or the
// same four numbers ('1.7' is '1.7.0.0', as the update cycle that verified the download counts it). A
// file whose version cannot be read is never accepted.
bool HelperVersionAccepted(const std::wstring& expectedVersion, const std::wstring& fileVersion);

// The new version's command line: the quoted target, then each forwarded argument quoted so that
// the new version's argv reads back exactly the same strings.
std::wstring RestartCommandLine(const std::wstring& target, const std::vector<std::wstring>& forwarded);

// The target's folder: the text before its last "\", or the whole target when it has none.
std::wstring RestartDirectory(const std::wstring& target);

// Waiting for the old process: a progress line every 30 s, and giving up after 5 minutes.
struct OldProcessWait {
  unsigned long lastReportMs = 0;
  // Called after each 5-second slice with the milliseconds since waiting began.
  bool ShouldReport(unsigned long elapsedMs);  // true: log a progress line now
  static bool GiveUp(unsigned long elapsedMs);
};
