// The lock of one executable's update: the file "<executable>.update.lock" beside it, open without sharing
// and deleted on close. Only who may write the executable's folder, that is who could replace the
// executable anyway, can create it; every spelling of the path names the same file.
#pragma once

#include <windows.h>

#include <string>

#include "support/handles.h"
#include "support/result.h"

// "<executable>.update.lock".
std::wstring UpdateLockPath(const std::wstring& executable);

// Takes the lock, waiting up to timeoutMs while another process holds it; held until the handle closes.
// Fails with WAIT_TIMEOUT while it stays taken, or with the error that kept the file from being made (a
// folder that cannot be written, say).
Result<UniqueFile> TakeUpdateLock(const std::wstring& executable, DWORD timeoutMs);
