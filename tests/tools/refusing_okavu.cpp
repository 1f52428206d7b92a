// OKAVU.exe whose wallpaper setter refuses every file as Windows refuses one it cannot use (error 5), for the
// end-to-end test of the driver's exit code 1: Wine accepts any file, even one that does not exist.
#include <windows.h>

#include <string>

#include "app/startup.h"

namespace {

Status RefuseEveryWallpaper(const std::wstring&) { return Status::Failure(ERROR_ACCESS_DENIED); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const RunEnd end = RunProgram(argc, argv, RefuseEveryWallpaper);
  if (end.endProcessNow) ExitProcess(static_cast<UINT>(end.code));
  return end.code;
}
