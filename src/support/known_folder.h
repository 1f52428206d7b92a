// The one way the program asks for a user folder (Pictures, LocalAppData).
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

// The folder's path, or empty when the system cannot give it.
std::wstring KnownFolderPath(REFKNOWNFOLDERID id);
