// The change notices a watch listens to: the desktop settings in the registry (another program set its
// wallpaper) and the target's folder (the target deleted, replaced or renamed).
#pragma once

#include <windows.h>

#include <string>

#include "support/handles.h"
#include "support/result.h"

class DesktopChanges {
 public:
  // Arms both notices: HKCU\Control Panel\Desktop and folder. Fails, with nothing armed, when either
  // cannot be armed. Called again for another folder, it moves the folder's notice there.
  Status Arm(const std::wstring& folder);

  // What to wait on; both are signalled once something changed, and stay so until Rearm.
  HANDLE settingsSignal() const { return settingsEvent_.get(); }
  HANDLE folderSignal() const { return folder_.get(); }

  // Arms the notice that signalled again, so that it reports the next change.
  Status Rearm(HANDLE signalled);

  const std::wstring& folder() const { return folderPath_; }

 private:
  Status ArmSettings();

  UniqueRegKey desktopKey_;
  UniqueKernelHandle settingsEvent_;
  UniqueChangeNotification folder_;
  std::wstring folderPath_;
};
