// testtool shell and set-wallpaper: a stand-in for the desktop shell, and another program changing
// the wallpaper.
#include "support/handles.h"
#include "support/text.h"
#include "testtool.h"

namespace {

struct WindowTraits {
  using Handle = HWND;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::DestroyWindow(h); }
};
using UniqueWindow = UniqueHandle<WindowTraits>;

// Where the shell's window procedure records the settings-change messages (empty: not recorded).
// Written before the first window exists; the windows live on the main thread only.
std::wstring g_settingLogPath;

void RecordSettingChange(HWND window, WPARAM wParam, LPARAM lParam) {
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  const wchar_t* text = lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"<null>";
  std::string line = ToUtf8(Format(L"%ls\t%llu\t%ls\n", className, static_cast<unsigned long long>(wParam), text));
  // One open, write and close per message, so a test reading the file sees every whole line.
  UniqueFile file(CreateFileW(g_settingLogPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

LRESULT CALLBACK ShellWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTINGCHANGE) {
    if (!g_settingLogPath.empty()) RecordSettingChange(window, wParam, lParam);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterShellClass(const wchar_t* name) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = ShellWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0;
}

// SetShellWindow is exported by user32 but declared in no SDK header.
using SetShellWindowFn = BOOL(WINAPI*)(HWND);

bool MakeShellWindow(HWND window) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  FARPROC proc = user32 ? GetProcAddress(user32, "SetShellWindow") : nullptr;
  if (!proc) return false;
  auto setShellWindow = reinterpret_cast<SetShellWindowFn>(reinterpret_cast<void (*)()>(proc));
  return setShellWindow(window) != FALSE;
}

}  // namespace

int ShellCommand(ToolArgs args) {
  const wchar_t* usage = L"shell [--only-progman|--only-workerw] --ready EVENT --quit EVENT [--log FILE]";
  bool onlyProgman = TakeFlag(args, L"--only-progman");
  bool onlyWorkerW = TakeFlag(args, L"--only-workerw");
  std::wstring readyName;
  std::wstring quitName;
  TakeOption(args, L"--log", g_settingLogPath);
  if (!TakeOption(args, L"--ready", readyName) || !TakeOption(args, L"--quit", quitName) || !args.empty() ||
      (onlyProgman && onlyWorkerW)) {
    return UsageFailure(usage);
  }
  HINSTANCE instance = GetModuleHandleW(nullptr);
  UniqueWindow progman;
  UniqueWindow workerW;
  if (!onlyWorkerW) {
    if (!RegisterShellClass(L"Progman")) return SystemFailure(L"RegisterClassExW (Progman)", GetLastError());
    progman.reset(
        CreateWindowExW(0, L"Progman", L"Program Manager", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr));
    if (!progman) return SystemFailure(L"CreateWindowExW (Progman; is DISPLAY set?)", GetLastError());
  }
  if (!onlyProgman) {
    if (!RegisterShellClass(L"WorkerW")) return SystemFailure(L"RegisterClassExW (WorkerW)", GetLastError());
    workerW.reset(CreateWindowExW(0, L"WorkerW", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr));
    if (!workerW) return SystemFailure(L"CreateWindowExW (WorkerW; is DISPLAY set?)", GetLastError());
  }
  // The shell window is Progman when there is one; with WorkerW alone the desktop still has a shell.
  if (!MakeShellWindow(progman ? progman.get() : workerW.get())) {
    return SystemFailure(L"SetShellWindow (another shell still running?)", GetLastError());
  }
  return SignalReadyAndWaitForQuit(readyName, quitName, true);
}

int SetWallpaperCommand(ToolArgs args) {
  const bool onInput = TakeFlag(args, L"--on-input");
  if (args.size() != 1) return UsageFailure(L"set-wallpaper PATH [--on-input]");
  // With --on-input, once per line read from standard input until its end: a benchmark times the set
  // from the moment it writes the line, without a process start in between.
  for (;;) {
    if (onInput) {
      char c = 0;
      DWORD read = 0;
      do {
        if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &read, nullptr) || read == 0) return kToolOk;
      } while (c != '\n');
    }
    if (!SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, const_cast<wchar_t*>(args[0].c_str()),
                               SPIF_UPDATEINIFILE | SPIF_SENDWININICHANGE)) {
      return SystemFailure(L"SystemParametersInfoW(SPI_SETDESKWALLPAPER)", GetLastError());
    }
    if (!onInput) return kToolOk;
  }
}
