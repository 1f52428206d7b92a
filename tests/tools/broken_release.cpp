// A release that installs (it carries the next version's resource) but ends with exit code 3 as soon as
// it starts, as a build that cannot run on the machine would: the helper must put the old version back.
// Where a test has made the event "OKAVU_Test_BrokenRelease_Go", it first waits for it (at most 60 s), so
// that the test can act while the helper watches the new version.
#include <windows.h>

int wmain() {
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, L"OKAVU_Test_BrokenRelease_Go");
  if (go) {
    WaitForSingleObject(go, 60000);
    CloseHandle(go);
  }
  return 3;
}
