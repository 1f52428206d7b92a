// The update hand-over: records the pending update, starts the helper copy and tells the main thread.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"
#include "update/apply_update.h"
#include "update/manifest.h"
#include "update/update_channel.h"

// Runs on the thread of the update cycle. Writes the four state values, copies the running
// executable to a new file "<temp>OKAVU-updater-<32 random hexadecimal digits>.exe", held against writers
// and deleters until it runs, starts it detached in helper mode with the verified digest and, once it
// runs, publishes the hand-over on channel. Fails (said once per run, for the back-off retries it) when no
// helper runs.
Status LaunchUpdateHelper(const UpdateInfo& info, const std::wstring& newExePath, const std::string& sha256,
                          UpdateChannel& channel);

// The helper's command line, which ParseApplyUpdateArgs reads back into the same record:
//   "<updater>" --apply-update --target "<exe>" --new "<new exe>" --pid <pid> --ver "<version>"
//   --sha256 <digest> --cwd "<folder>"
// followed, when there are forwarded arguments, by -- and each of them. Every quoted token is
// written by AppendQuotedArgument, so it reads back unchanged, trailing backslashes included. The
// digest goes as it is (64 hexadecimal digits); an absent or empty digest or folder leaves its option out.
std::wstring BuildHelperCommandLine(const std::wstring& updaterPath, const ApplyUpdateArgs& args);
