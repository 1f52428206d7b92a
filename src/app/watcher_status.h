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

// The session's watcher as it published itself; nullopt when none runs.
std::optional<WatcherInfo> ReadWatcherStatus();
