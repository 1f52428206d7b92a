// Command line and options.
#include "app/options.h"

#include <cwchar>
#include <cstdlib>

#include "support/console.h"
#include "support/text.h"
#include "version.h"

namespace {

constexpr size_t kUsageChars = 3072;
constexpr size_t kVersionChars = 128;

constexpr const wchar_t* kConsoleKeepers[] = {L"--watch", L"--version", L"-v",     L"--help",         L"-h",
                                              L"/?",      L"-w",        L"--once", L"--check-update", L"--status",
                                              L"--stop"};

constexpr wchar_t kUsageFormat[] =
    L"OKAVU Quillmere  v%ls\n"
    L"更新源：%ls\n"
    L"\n"
    L"用法：%ls [图片] [选项]\n"
    L"  不带参数            使用 exe 内嵌的图片设置一次\n"
    L"  图片路径            改用外部图片文件\n"
    L"  -w, --watch         设置后常驻监视，被改成别的图就自动改回来\n"
    L"  -i, --interval N    壁纸检查间隔秒数，默认 3（范围 1..3600）\n"
    L"      --once          只检查并修复一次然后退出（适合计划任务）\n"
    L"      --extract P     把内嵌图片导出到 P\n"
    L"      --force         即使副本已存在也强制重写\n"
    L"      --no-paint      只做落盘/导出，不修改桌面背景\n"
    L"  -q, --quiet         不打印到控制台（仍然写日志文件）\n"
    L"  -v, --version       打印版本号后退出\n"
    L"      --status        显示本会话的监视实例（PID、版本、上次更新）；没有时退出码 10\n"
    L"      --stop          请本会话的监视实例退出，最多等 10 秒\n"
    L"  -h, --help          显示本帮助\n"
    L"\n"
    L"自动更新：\n"
    L"      --update                启用自动更新（--watch 模式下默认已启用）\n"
    L"      --no-update             本次运行禁用自动更新\n"
    L"      --update-interval N     检查间隔秒数，默认 30（范围 5..86400）\n"
    L"      --check-update          立刻检查一次：有新版就更新并重启，没有就退出\n"
    L"  更新前的状态保存在 HKCU\\Software\\OKAVU\\Quillmere\n"
    L"  日志：%%LOCALAPPDATA%%\\OKAVU-wallpaper\\guard.log（超过 1MB 轮转为 .log.1）\n";

bool Is(const wchar_t* arg, const wchar_t* form) { return _wcsicmp(arg, form) == 0; }

// wcstol semantics: blanks, sign, digits; no digits gives 0; saturates at the 32-bit range.
long ToNumber(const wchar_t* text) { return std::wcstol(text, nullptr, 10); }

bool InRange(long value, long low, long high) {
  return static_cast<unsigned long>(value - low) <= static_cast<unsigned long>(high - low);
}

}  // namespace

bool KeepsConsole(int argc, const wchar_t* const* argv) {
  for (int i = 1; i < argc; ++i) {
    for (const wchar_t* form : kConsoleKeepers) {
      if (Is(argv[i], form)) return true;
    }
  }
  return false;
}

ParsedCommandLine ParseCommandLine(int argc, const wchar_t* const* argv) {
  ParsedCommandLine parsed;
  RunOptions& o = parsed.options;

  int end = argc;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--") == 0) {
      end = i;
      break;
    }
  }
  for (int i = end + 1; i < argc; ++i) parsed.fwdArgs.emplace_back(argv[i]);

  auto fail = [&parsed](std::wstring message, bool withHelp) {
    parsed.action = ParseAction::Error;
    parsed.error = std::move(message);
    parsed.helpAfterError = withHelp;
    return parsed;
  };

  for (int i = 1; i < end; ++i) {
    const wchar_t* arg = argv[i];
    bool hasValue = i + 1 < end;
    if (Is(arg, L"--watch") || Is(arg, L"-w")) {
      o.watch = true;
    } else if (Is(arg, L"--once")) {
      o.once = true;
    } else if (Is(arg, L"--interval") || Is(arg, L"-i")) {
      if (!hasValue) return fail(L"--interval 后面缺少秒数", false);
      o.interval = ToNumber(argv[++i]);
      if (!InRange(o.interval, 1, 3600)) return fail(Format(L"--interval 超出范围（1..3600）：%ld", o.interval), false);
    } else if (Is(arg, L"--quiet") || Is(arg, L"-q")) {
      parsed.quiet = true;
    } else if (Is(arg, L"--extract")) {
      if (!hasValue) return fail(L"--extract 后面缺少路径", false);
      o.extractPath = argv[++i];
    } else if (Is(arg, L"--force") || Is(arg, L"-f")) {
      o.force = true;
    } else if (Is(arg, L"--no-paint")) {
      o.noPaint = true;
    } else if (Is(arg, L"--update")) {
      o.autoUpdate = true;
    } else if (Is(arg, L"--no-update")) {
      o.autoUpdate = false;
    } else if (Is(arg, L"--check-update")) {
      o.autoUpdate = true;
      o.checkUpdate = true;
    } else if (Is(arg, L"--update-interval")) {
      if (!hasValue) return fail(L"--update-interval 后面缺少秒数", false);
      o.updateInterval = ToNumber(argv[++i]);
      o.updateIntervalGiven = true;
      if (!InRange(o.updateInterval, 5, 86400)) {
        return fail(Format(L"--update-interval 超出范围（5..86400）：%ld", o.updateInterval), false);
      }
    } else if (Is(arg, L"--status")) {
      parsed.action = ParseAction::Status;
    } else if (Is(arg, L"--stop")) {
      parsed.action = ParseAction::Stop;
    } else if (Is(arg, L"--version") || Is(arg, L"-v")) {
      o.showVersion = true;
    } else if (Is(arg, L"--help") || Is(arg, L"-h") || Is(arg, L"/?")) {
      parsed.action = ParseAction::Help;
      return parsed;
    } else if (arg[0] == L'-' && arg[1] == L'-') {
      return fail(Format(L"未知参数：%ls", arg), true);
    } else if (arg[0] != L'\0') {
      // An empty argument is no picture at all, before or after the real one.
      if (!o.picturePath.empty()) return fail(Format(L"只接受一个图片参数，多余的：%ls", arg), false);
      o.picturePath = arg;
    }
  }

  for (int i = 1; i < end; ++i) parsed.fwdArgs.emplace_back(argv[i]);
  std::vector<std::wstring> kept;
  for (std::wstring& arg : parsed.fwdArgs) {
    if (!Is(arg.c_str(), L"--no-update")) kept.push_back(std::move(arg));
  }
  parsed.fwdArgs = std::move(kept);

  if (o.showVersion) parsed.action = ParseAction::Version;
  return parsed;
}

std::wstring UsageText(const wchar_t* programName) {
  std::wstring base = L"https://";
  base += kUpdateHost;
  base += L"/files/OKAVU/";
  wchar_t buf[kUsageChars];
  int n = FormatInto(buf, kUsageChars, kUsageFormat, kAppVersion, base.c_str(), programName);
  return n > 0 ? std::wstring(buf, static_cast<size_t>(n)) : std::wstring();
}

void Usage(const wchar_t* programName) {
  std::wstring text = UsageText(programName);
  if (!text.empty()) ConsoleWrite(stdout, text.c_str());
}

void PrintVersionLine() {
  wchar_t buf[kVersionChars];
  if (FormatInto(buf, kVersionChars, L"OKAVU Quillmere  v%ls\n", kAppVersion) > 0) ConsoleWrite(stdout, buf);
}
