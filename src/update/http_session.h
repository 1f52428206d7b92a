// Opening the WinHTTP session with the best proxy setting the system offers.
#pragma once

#include <windows.h>
#include <winhttp.h>

// Opens a session with open (WinHttpOpen) for agent: with the automatic proxy (WPAD and the user's
// settings) where the system has that access type, and with the default proxy configuration where it
// rejects it as an invalid parameter (before Windows 8.1). Returns null, with the last error set, when
// neither opens; the caller owns what it returns.
HINTERNET OpenUpdateSession(decltype(&::WinHttpOpen) open, const wchar_t* agent);
