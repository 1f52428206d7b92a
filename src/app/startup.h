// The start-up sequence of every run: first-position dispatch, console, options, banner, then the stages
// from the picture to the end of the run.
#pragma once

#include "wallpaper/wallpaper_apply.h"

// How a run ends: its exit code (an ExitCode, or a HelperExit for the update helper), and whether the
// process must end at once instead of returning: a helper waits for the executable to be free, or the
// update thread is still inside a download and must not outlive what it uses.
struct RunEnd {
  int code = 0;
  bool endProcessNow = false;
};

// Runs the program for its command line. setter hands the first wallpaper to Windows: the system's in
// the program, one that refuses in a test build. Never ends the process itself.
RunEnd RunProgram(int argc, wchar_t** argv, WallpaperSetter setter);
