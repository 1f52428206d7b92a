// The reasons of the exit codes, the runs' and the update helper's.
#include "support/exit_codes.h"

const wchar_t* ExitReason(int code) {
  switch (code) {
    case ToInt(ExitCode::kPaintFailed):
      return L"Windows 拒绝设置墙纸";
    case ToInt(ExitCode::kNoPicture):
      return L"没有可用的图片";
    case ToInt(ExitCode::kBadPicture):
      return L"图片太短或格式不受支持";
    case ToInt(ExitCode::kNoDesktop):
      return L"桌面不可达（服务会话，或桌面外壳尚未运行）";
    case ToInt(ExitCode::kNoTarget):
      return L"墙纸文件写不进或读不回";
    case ToInt(ExitCode::kWatcherRunning):
      return L"已有监视实例在运行且未退出";
    case ToInt(ExitCode::kNoWatcher):
      return L"本会话没有运行中的监视实例";
    case ToInt(HelperExit::kVersionMismatch):
      return L"待替换文件的版本或 SHA256 与预期不符";
    case ToInt(HelperExit::kReplaceFailed):
      return L"无法替换程序文件";
    case ToInt(HelperExit::kTargetIsSelf):
      return L"目标路径指向更新帮手自身";
    case ToInt(ExitCode::kUsage):
      return L"命令行参数有误";
    default:
      return L"";
  }
}
