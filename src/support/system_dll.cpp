// System DLLs from the system folder.
#include "support/system_dll.h"

#include <string>

namespace {

// Loads name from the system folder; null with error set when it cannot be loaded.
HMODULE LoadSystemDll(const wchar_t* name, unsigned long& error) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module) return module;
  error = GetLastError();
  if (error != ERROR_INVALID_PARAMETER) return nullptr;
  // Windows 7 without the search flags: the system folder's copy by its full path, with its own
  // dependencies looked up from there.
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + name;
  module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  error = module ? ERROR_SUCCESS : GetLastError();
  return module;
}

// Finds the functions of one DLL: bind(...) for each, in the order of the table.
class Binder {
 public:
  Binder(const wchar_t* dll, unsigned long& error) : error_(error) { module_ = LoadSystemDll(dll, error_); }

  template <typename F>
  void operator()(F& function, const char* name) {
    if (error_ != ERROR_SUCCESS) return;
    Find(function, name);
    if (!function) error_ = GetLastError();
  }

  // A function that newer systems have and older ones lack: its absence is no error.
  template <typename F>
  void Optional(F& function, const char* name) {
    if (error_ == ERROR_SUCCESS) Find(function, name);
  }

  // Another DLL for the same table (shell32, then ole32).
  void Next(const wchar_t* dll) {
    if (error_ == ERROR_SUCCESS) module_ = LoadSystemDll(dll, error_);
  }

 private:
  template <typename F>
  void Find(F& function, const char* name) {
    // Through void*: the address comes back as FARPROC whatever the function's type.
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  HMODULE module_ = nullptr;
  unsigned long& error_;
};

// A table with an error is emptied, so that a half-bound table is never used.
template <typename Api>
Api KeepIfComplete(const Api& loaded) {
  if (loaded.loadError == ERROR_SUCCESS) return loaded;
  Api empty;
  empty.loadError = loaded.loadError;
  return empty;
}

}  // namespace

void RestrictDllSearch() {
  using SetDefaultDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto setDefault = reinterpret_cast<SetDefaultDirectoriesFn>(
      reinterpret_cast<void*>(kernel32 ? GetProcAddress(kernel32, "SetDefaultDllDirectories") : nullptr));
  if (setDefault) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Where the call above is missing, this at least takes the working directory out of the search.
  SetDllDirectoryW(L"");
}

const User32Api& User32() {
  static const User32Api api = [] {
    User32Api loaded;
    Binder bind(L"user32.dll", loaded.loadError);
    bind(loaded.systemParametersInfo, "SystemParametersInfoW");
    bind(loaded.findWindow, "FindWindowW");
    bind(loaded.sendMessageTimeout, "SendMessageTimeoutW");
    bind(loaded.invalidateRect, "InvalidateRect");
    bind(loaded.getDesktopWindow, "GetDesktopWindow");
    bind(loaded.updateWindow, "UpdateWindow");
    bind(loaded.getShellWindow, "GetShellWindow");
    bind(loaded.getWindowThreadProcessId, "GetWindowThreadProcessId");
    bind(loaded.setProcessDpiAware, "SetProcessDPIAware");
    bind.Optional(loaded.setProcessDpiAwarenessContext, "SetProcessDpiAwarenessContext");
    return KeepIfComplete(loaded);
  }();
  return api;
}

const ShellOleApi& ShellOle() {
  static const ShellOleApi api = [] {
    ShellOleApi loaded;
    Binder bind(L"shell32.dll", loaded.loadError);
    bind(loaded.getKnownFolderPath, "SHGetKnownFolderPath");
    bind.Next(L"ole32.dll");
    bind(loaded.coInitializeEx, "CoInitializeEx");
    bind(loaded.coUninitialize, "CoUninitialize");
    bind(loaded.coTaskMemFree, "CoTaskMemFree");
    return KeepIfComplete(loaded);
  }();
  return api;
}

const VersionApi& Version() {
  static const VersionApi api = [] {
    VersionApi loaded;
    Binder bind(L"version.dll", loaded.loadError);
    bind(loaded.getFileVersionInfoSize, "GetFileVersionInfoSizeW");
    bind(loaded.getFileVersionInfo, "GetFileVersionInfoW");
    bind(loaded.verQueryValue, "VerQueryValueW");
    return KeepIfComplete(loaded);
  }();
  return api;
}

const WinHttpApi& WinHttp() {
  static const WinHttpApi api = [] {
    // WinHTTP loads crypt32 (which imports bcrypt) only when it first speaks TLS, and some systems (Wine)
    // look up the imports of such a late load beside the executable. Loaded first from the system
    // folder, both are found already loaded.
    unsigned long ignored = ERROR_SUCCESS;
    LoadSystemDll(L"bcrypt.dll", ignored);
    LoadSystemDll(L"crypt32.dll", ignored);
    WinHttpApi loaded;
    Binder bind(L"winhttp.dll", loaded.loadError);
    bind(loaded.open, "WinHttpOpen");
    bind(loaded.setTimeouts, "WinHttpSetTimeouts");
    bind(loaded.connect, "WinHttpConnect");
    bind(loaded.openRequest, "WinHttpOpenRequest");
    bind(loaded.setOption, "WinHttpSetOption");
    bind(loaded.sendRequest, "WinHttpSendRequest");
    bind(loaded.receiveResponse, "WinHttpReceiveResponse");
    bind(loaded.queryHeaders, "WinHttpQueryHeaders");
    bind(loaded.queryDataAvailable, "WinHttpQueryDataAvailable");
    bind(loaded.readData, "WinHttpReadData");
    bind(loaded.closeHandle, "WinHttpCloseHandle");
    return KeepIfComplete(loaded);
  }();
  return api;
}

const BcryptApi& Bcrypt() {
  static const BcryptApi api = [] {
    BcryptApi loaded;
    Binder bind(L"bcrypt.dll", loaded.loadError);
    bind(loaded.openAlgorithmProvider, "BCryptOpenAlgorithmProvider");
    bind(loaded.closeAlgorithmProvider, "BCryptCloseAlgorithmProvider");
    bind(loaded.createHash, "BCryptCreateHash");
    bind(loaded.hashData, "BCryptHashData");
    bind(loaded.finishHash, "BCryptFinishHash");
    bind(loaded.destroyHash, "BCryptDestroyHash");
    bind(loaded.importKeyPair, "BCryptImportKeyPair");
    bind(loaded.verifySignature, "BCryptVerifySignature");
    bind(loaded.destroyKey, "BCryptDestroyKey");
    bind(loaded.genRandom, "BCryptGenRandom");
    return KeepIfComplete(loaded);
  }();
  return api;
}
