// The helper mode: replaces the old executable with the verified download and starts the new version.
#pragma once

// argv[1] is "--apply-update". Returns the helper's exit code (0, 7, 8, 9 or 64).
int ApplyUpdateMode(int argc, wchar_t** argv);
