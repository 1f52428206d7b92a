// One update cycle: manifest, version comparison, download, verification and hand-over.
#pragma once

#include <string>

// Undoes a cycle on every way out: unless the hand-over happened, deletes the download (path)
// and clears g_updaterBusy. After a hand-over it leaves both for the helper and the main thread.
struct UpdateGuard {
  std::wstring path;        // the new executable once a download is about to start
  bool handedOver = false;  // set by the hand-over once the helper runs

  UpdateGuard() = default;
  UpdateGuard(const UpdateGuard&) = delete;
  UpdateGuard& operator=(const UpdateGuard&) = delete;
  ~UpdateGuard();
};

// Name of the download, next to the running executable.
inline constexpr wchar_t kNewExeName[] = L"OKAVU.new.exe";

// Runs one complete update attempt; reports every outcome itself (console and log) and never ends
// the process. Returns at once, silently, while another cycle runs (g_updaterBusy). Runs on the
// update thread, or on the main thread for the standalone check; blocks for the network time.
void DoUpdateCycle();
