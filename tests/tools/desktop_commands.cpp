// testtool shell and set-wallpaper: a stand-in for the desktop shell, and another program changing
// the wallpaper.
#include <objbase.h>

#include <mutex>
#include <thread>

#include "desktop_picture.h"
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

// Draws the desktop into the shell window as the real shell does, on a thread of its own: decoding
// and scaling a picture takes a while, and the window's thread must answer the settings-change
// messages at once (their senders wait for it, and tests count them).
class DesktopPainter {
 public:
  explicit DesktopPainter(HWND window)
      : window_(window),
        redraw_(CreateEventW(nullptr, FALSE, TRUE, nullptr)),  // set: the first picture at once
        quit_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (redraw_ && quit_) thread_ = std::thread(&DesktopPainter::Run, this);
  }
  ~DesktopPainter() {
    if (!thread_.joinable()) return;
    SetEvent(quit_.get());
    thread_.join();
  }
  DesktopPainter(const DesktopPainter&) = delete;
  DesktopPainter& operator=(const DesktopPainter&) = delete;

  // Any thread: draw again from the desktop values as they are now. Requests that come while a
  // picture is being drawn make one more picture, not one each.
  void Redraw() const { SetEvent(redraw_.get()); }

  // The window's thread, in WM_PAINT: the last picture drawn, or the background until there is one.
  void Paint(HDC dc) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frame_.data.empty()) {
      RECT all{};
      GetClientRect(window_, &all);
      FillRect(dc, &all, GetSysColorBrush(COLOR_DESKTOP));
      return;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = frame_.width;
    info.bmiHeader.biHeight = -frame_.height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(frame_.width), static_cast<DWORD>(frame_.height), 0, 0, 0,
                      static_cast<UINT>(frame_.height), frame_.data.data(), &info, DIB_RGB_COLORS);
  }

 private:
  void Run() {
    const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    const HANDLE waitFor[] = {quit_.get(), redraw_.get()};
    while (WaitForMultipleObjects(2, waitFor, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      RECT client{};
      GetClientRect(window_, &client);
      const COLORREF desktop = GetSysColor(COLOR_DESKTOP);
      const std::uint32_t background =
          (static_cast<std::uint32_t>(GetRValue(desktop)) << 16) | (GetGValue(desktop) << 8) | GetBValue(desktop);
      Pixels frame = DrawDesktop(ReadDesktopValues(), client.right, client.bottom, background);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        frame_ = std::move(frame);
      }
      InvalidateRect(window_, nullptr, FALSE);
    }
    if (com) CoUninitialize();
  }

  HWND window_;
  UniqueKernelHandle redraw_;  // auto-reset
  UniqueKernelHandle quit_;
  std::mutex mutex_;
  Pixels frame_;  // under mutex_
  std::thread thread_;
};

// The painter of the shell's one visible window; set while the windows live, on their thread only.
DesktopPainter* g_painter = nullptr;

LRESULT CALLBACK ShellWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETTINGCHANGE:
      if (!g_settingLogPath.empty()) RecordSettingChange(window, wParam, lParam);
      if (g_painter) g_painter->Redraw();
      return 0;
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers every pixel
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      if (g_painter) {
        g_painter->Paint(dc);
      } else {
        FillRect(dc, &ps.rcPaint, GetSysColorBrush(COLOR_DESKTOP));
      }
      EndPaint(window, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
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
  // The shell window is Progman when there is one; with WorkerW alone the desktop still has a shell.
  // It covers the screen and shows the wallpaper; the other window stays out of sight.
  auto create = [instance](const wchar_t* className, const wchar_t* title, bool shell) {
    const int width = shell ? GetSystemMetrics(SM_CXSCREEN) : 0;
    const int height = shell ? GetSystemMetrics(SM_CYSCREEN) : 0;
    return CreateWindowExW(shell ? WS_EX_NOACTIVATE : 0, className, title, shell ? WS_POPUP | WS_VISIBLE : WS_POPUP, 0,
                           0, width, height, nullptr, nullptr, instance, nullptr);
  };
  UniqueWindow progman;
  UniqueWindow workerW;
  if (!onlyWorkerW) {
    if (!RegisterShellClass(L"Progman")) return SystemFailure(L"RegisterClassExW (Progman)", GetLastError());
    progman.reset(create(L"Progman", L"Program Manager", true));
    if (!progman) return SystemFailure(L"CreateWindowExW (Progman; is DISPLAY set?)", GetLastError());
  }
  if (!onlyProgman) {
    if (!RegisterShellClass(L"WorkerW")) return SystemFailure(L"RegisterClassExW (WorkerW)", GetLastError());
    workerW.reset(create(L"WorkerW", L"", onlyWorkerW));
    if (!workerW) return SystemFailure(L"CreateWindowExW (WorkerW; is DISPLAY set?)", GetLastError());
  }
  HWND shell = progman ? progman.get() : workerW.get();
  if (!MakeShellWindow(shell)) return SystemFailure(L"SetShellWindow (another shell still running?)", GetLastError());
  // Declared after the windows, so it stops before they go.
  DesktopPainter painter(shell);
  g_painter = &painter;
  const int result = SignalReadyAndWaitForQuit(readyName, quitName, true);
  g_painter = nullptr;
  return result;
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
