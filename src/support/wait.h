// The interruptible sleep of the program's long-lived loops (watch passes, update checks).
#pragma once

#include <windows.h>

#include <initializer_list>

// Sleeps seconds (unsigned 32-bit milliseconds), or less once any of events is set; null entries are
// left out, and with none left it is a plain sleep. Which event ended it is not reported: callers test
// the events they care about afterwards. Manual-reset events stay set, so every later wait returns at once.
void WaitSecondsOrSignal(unsigned long seconds, std::initializer_list<HANDLE> events);

// Waits up to milliseconds for the first of handles to be signalled and returns it (an auto-reset
// event is consumed by that), or null when the time ran out or the wait failed. Null and
// INVALID_HANDLE_VALUE entries are left out; earlier entries win when several are signalled.
HANDLE WaitForFirst(unsigned long milliseconds, std::initializer_list<HANDLE> handles);

// True when the event exists and is set; a zero wait, which a manual-reset event does not consume.
bool IsSignalled(HANDLE event);
