// Entry point: the whole program is the start-up sequence; this file only ends the process.
#include <windows.h>

#include "app/startup.h"
#include "wallpaper/wallpaper_apply.h"

int wmain(int argc, wchar_t** argv) {
  const RunEnd end = RunProgram(argc, argv, SystemWallpaperSetter);
  // Returning would run the process's exit handlers while another thread may still run; a helper
  // waiting for this executable wants it free now.
  if (end.endProcessNow) ExitProcess(static_cast<UINT>(end.code));
  return end.code;
}
