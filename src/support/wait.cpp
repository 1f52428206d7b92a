// Interruptible sleep.
#include "support/wait.h"

void WaitSecondsOrSignal(unsigned long seconds, std::initializer_list<HANDLE> events) {
  WaitForFirst(static_cast<unsigned long>(seconds * 1000UL), events);
}

HANDLE WaitForFirst(unsigned long milliseconds, std::initializer_list<HANDLE> handles) {
  const DWORD timeout = static_cast<DWORD>(milliseconds);
  HANDLE waited[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  for (HANDLE handle : handles) {
    if (handle && handle != INVALID_HANDLE_VALUE && count < MAXIMUM_WAIT_OBJECTS) waited[count++] = handle;
  }
  if (count == 0) {
    Sleep(timeout);
    return nullptr;
  }
  const DWORD result = WaitForMultipleObjects(count, waited, FALSE, timeout);
  return result < WAIT_OBJECT_0 + count ? waited[result - WAIT_OBJECT_0] : nullptr;
}

bool IsSignalled(HANDLE event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
