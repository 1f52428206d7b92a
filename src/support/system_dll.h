// The system DLLs the program uses beyond kernel32, advapi32 and the C runtime, loaded from the system
// folder only and at first use: a DLL of the same name planted beside the executable (the update helper
// runs from the user's temporary folder) or in the working directory is never loaded in their place.
// version.dll, winhttp.dll and bcrypt.dll are not on Windows' known-DLL list. user32, shell32 and ole32
// are, but are loaded the same way: where they are not known DLLs (Wine), a static import of them would
// have their own imports (user32 imports version.dll) looked up beside the executable when the process
// starts, before any code of the program could restrict the search.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <shlobj.h>
#include <winhttp.h>
#include <winver.h>

// Keeps every later DLL load of the process out of the program's own folder and the working directory.
// Called first thing at start-up, before anything could load a DLL by name.
void RestrictDllSearch();

// The functions of user32.dll the program uses; as VersionApi (below), except that
// setProcessDpiAwarenessContext may be null on its own (Windows before 10 1703 lacks it).
struct User32Api {
  decltype(&::SystemParametersInfoW) systemParametersInfo = nullptr;
  decltype(&::FindWindowW) findWindow = nullptr;
  decltype(&::SendMessageTimeoutW) sendMessageTimeout = nullptr;
  decltype(&::InvalidateRect) invalidateRect = nullptr;
  decltype(&::GetDesktopWindow) getDesktopWindow = nullptr;
  decltype(&::UpdateWindow) updateWindow = nullptr;
  decltype(&::GetShellWindow) getShellWindow = nullptr;
  decltype(&::GetWindowThreadProcessId) getWindowThreadProcessId = nullptr;
  decltype(&::SetProcessDPIAware) setProcessDpiAware = nullptr;
  BOOL(WINAPI* setProcessDpiAwarenessContext)(HANDLE) = nullptr;
  unsigned long loadError = 0;
};
const User32Api& User32();

// The functions of shell32.dll and ole32.dll the program uses; as VersionApi.
struct ShellOleApi {
  decltype(&::SHGetKnownFolderPath) getKnownFolderPath = nullptr;
  decltype(&::CoInitializeEx) coInitializeEx = nullptr;
  decltype(&::CoUninitialize) coUninitialize = nullptr;
  decltype(&::CoTaskMemFree) coTaskMemFree = nullptr;
  unsigned long loadError = 0;
};
const ShellOleApi& ShellOle();

// The functions of version.dll the program uses. loadError is 0 when all of them were found; otherwise
// every function is null and loadError is the Windows error of loading the DLL or finding a function.
struct VersionApi {
  decltype(&::GetFileVersionInfoSizeW) getFileVersionInfoSize = nullptr;
  decltype(&::GetFileVersionInfoW) getFileVersionInfo = nullptr;
  decltype(&::VerQueryValueW) verQueryValue = nullptr;
  unsigned long loadError = 0;
};
const VersionApi& Version();

// The functions of winhttp.dll the program uses; as VersionApi.
struct WinHttpApi {
  decltype(&::WinHttpOpen) open = nullptr;
  decltype(&::WinHttpSetTimeouts) setTimeouts = nullptr;
  decltype(&::WinHttpConnect) connect = nullptr;
  decltype(&::WinHttpOpenRequest) openRequest = nullptr;
  decltype(&::WinHttpSetOption) setOption = nullptr;
  decltype(&::WinHttpSendRequest) sendRequest = nullptr;
  decltype(&::WinHttpReceiveResponse) receiveResponse = nullptr;
  decltype(&::WinHttpQueryHeaders) queryHeaders = nullptr;
  decltype(&::WinHttpQueryDataAvailable) queryDataAvailable = nullptr;
  decltype(&::WinHttpReadData) readData = nullptr;
  decltype(&::WinHttpCloseHandle) closeHandle = nullptr;
  unsigned long loadError = 0;
};
const WinHttpApi& WinHttp();

// The functions of bcrypt.dll the program uses; as VersionApi.
struct BcryptApi {
  decltype(&::BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
  decltype(&::BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
  decltype(&::BCryptCreateHash) createHash = nullptr;
  decltype(&::BCryptHashData) hashData = nullptr;
  decltype(&::BCryptFinishHash) finishHash = nullptr;
  decltype(&::BCryptDestroyHash) destroyHash = nullptr;
  decltype(&::BCryptImportKeyPair) importKeyPair = nullptr;
  decltype(&::BCryptVerifySignature) verifySignature = nullptr;
  decltype(&::BCryptDestroyKey) destroyKey = nullptr;
  decltype(&::BCryptGenRandom) genRandom = nullptr;
  unsigned long loadError = 0;
};
const BcryptApi& Bcrypt();
