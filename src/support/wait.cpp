// Interruptible sleep.
#include "support/wait.h"

void WaitSecondsOrSignal(unsigned long seconds, std::initializer_list<HANDLE> events) {
  const DWORD milliseconds = static_cast<DWORD>(seconds * 1000UL);
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  for (HANDLE event : events) {
    if (event && count < MAXIMUM_WAIT_OBJECTS) handles[count++] = event;
  }
  if (count == 0) {
    Sleep(milliseconds);
    return;
  }
  WaitForMultipleObjects(count, handles, FALSE, milliseconds);
}

bool IsSignalled(HANDLE event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
