// Named mutexes that stand for a file, so that every process of every user and session that works on
// the same file takes the same lock.
#pragma once

#include <windows.h>

#include <string>

#include "support/handles.h"
#include "support/result.h"

// "Global\OKAVU_<what>_" and the path, lower-cased (paths that name the same file by SamePath's rules
// give the same lock), with every "/", ":" and "\" turned into "_".
std::wstring PathLockName(const wchar_t* what, const std::wstring& path);

// Opens or creates the lock (any user may wait on it and release it) and waits up to timeoutMs to hold
// it; a lock whose holder died is taken. Fails with WAIT_TIMEOUT while another holds it, or with the
// error of creating it.
Result<HeldMutex> TakePathLock(const std::wstring& name, DWORD timeoutMs);
