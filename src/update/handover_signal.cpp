// The hand-over's published values.
#include "update/handover_signal.h"

std::atomic<long> g_updateReady{0};
std::atomic<long> g_updaterBusy{0};
unsigned long g_helperPid = 0;
std::wstring g_newExePath;
std::wstring g_newVerStr;
