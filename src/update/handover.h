// The update hand-over: records the pending update, starts the helper copy and tells the main thread.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"
#include "update/manifest.h"
#include "update/update_channel.h"

// Runs on the thread of the update cycle. Writes the four state values, copies the running
// executable to "<temp>OKAVU-updater-<pid>.exe", starts it detached in helper mode with the verified
// digest and, once it runs, publishes the hand-over on channel. Fails (reported where the user must
// know) when no helper runs.
Status LaunchUpdateHelper(const UpdateInfo& info, const std::wstring& newExePath, const std::string& sha256,
                          UpdateChannel& channel);

// The helper's command line:
//   "<updater>" --apply-update --target "<exe>" --new "<new exe>" --pid <pid> --ver "<version>"
//   --sha256 <digest>
// followed, when fwdArgs is not empty, by -- and each forwarded argument. Every quoted token is
// written by AppendQuotedArgument, so it reads back unchanged, trailing backslashes included. The
// digest goes as it is (64 hexadecimal digits); an empty one leaves the option out.
std::wstring BuildHelperCommandLine(const std::wstring& updaterPath, const std::wstring& exePath,
                                    const std::wstring& newExePath, unsigned long pid, const std::wstring& version,
                                    const std::string& sha256, const std::vector<std::wstring>& fwdArgs);
