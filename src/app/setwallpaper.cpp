// Entry point of the program (temporary skeleton until the driver lands).
#include <windows.h>

int wmain(int, wchar_t**) { return 0; }
