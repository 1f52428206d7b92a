// What an update hand-over publishes to the main thread, and the flag that keeps cycles apart.
#pragma once

#include <atomic>
#include <string>

extern std::atomic<long> g_updateReady;   // 1 once a helper runs and this process must end
extern std::atomic<long> g_updaterBusy;   // 1 while a cycle runs (and after a hand-over)
extern unsigned long g_helperPid;         // written before g_updateReady is set
extern std::wstring g_newExePath;         // written before g_updateReady is set
extern std::wstring g_newVerStr;          // written before g_updateReady is set

inline bool UpdateReady() { return g_updateReady.load() != 0; }
