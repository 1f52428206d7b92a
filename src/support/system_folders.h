// Where the system keeps things for this process and user: the running executable, the temporary
// folder and the known folders (Pictures, LocalAppData).
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

// The running executable's path (GetModuleFileNameW into 1,040 characters); empty on failure or
// when the path does not fit.
std::wstring ModulePath();

// The user's temporary folder with its trailing "\" (GetTempPathW into 1,040 characters); empty on
// failure.
std::wstring TempFolder();

// The process's current directory (GetCurrentDirectoryW); empty on failure.
std::wstring CurrentFolder();

// The folder's path, or empty when the system cannot give it.
std::wstring KnownFolderPath(REFKNOWNFOLDERID id);
