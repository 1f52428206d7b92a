// What a running watcher tells the other runs of its session ("--status", "--stop"): its process id,
// version and start, in a small named memory block that lives exactly as long as the watcher holds it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "support/handles.h"
#include "support/result.h"

inline constexpr wchar_t kStatusName[] = L"Local\\OKAVU_Quillmere_Status";

struct WatcherInfo {
  unsigned long pid = 0;
  std::wstring version;
  SYSTEMTIME started{};  // local time
};

// The watcher's published block; its end takes the block away.
class PublishedStatus {
 public:
  // Publishes info for the session. Fails when the block cannot be created (the watcher then runs
  // without it: "--status" does not see it).
  static Result<PublishedStatus> Publish(const WatcherInfo& info);

 private:
  UniqueKernelHandle mapping_;
};

// The session's published status, and whether its owner may be believed.
struct StatusLookup {
  std::optional<WatcherInfo> watcher;  // a block whose owner may be believed
  bool untrusted = false;              // a block is there, but another owner made it: not believed
  std::wstring owner;                  // that owner, as a SID string
};

// The block as it stands; no block at all gives neither watcher nor untrusted.
StatusLookup LookUpWatcherStatus();

// The session's watcher as it published itself; nullopt when none runs or the block is not believed.
std::optional<WatcherInfo> ReadWatcherStatus();

// Whether a status block whose owner is ownerSid may be believed by the user userSid: made by that user,
// by SYSTEM (S-1-5-18) or by the Administrators (S-1-5-32-544), who could end the user's programs anyway.
// Another user who creates the name first must not make "--status" report a watcher that does not exist.
bool IsTrustedStatusOwner(const std::wstring& ownerSid, const std::wstring& userSid);
