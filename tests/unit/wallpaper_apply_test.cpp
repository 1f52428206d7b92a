// Wallpaper apply: a refused file (which Wine never refuses) stops the first paint with the error reported and logged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wallpaper/wallpaper_apply.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

int g_setterCalls = 0;
std::wstring g_setterPath;

Status Accept(const std::wstring& path) {
  ++g_setterCalls;
  g_setterPath = path;
  return Status::Success();
}

Status RefuseAsMissing(const std::wstring&) {
  ++g_setterCalls;
  return Status::Failure(ERROR_FILE_NOT_FOUND);
}

TEST(PaintOnce, RefusedFileIsReportedLoggedAndFails) {
  const std::wstring target = L"C:\\users\\nobody\\Pictures\\OKAVU-wallpaper.png";
  g_setterCalls = 0;
  LogWatch log;
  ConsoleCapture console;
  EXPECT_FALSE(PaintOnceWith(target, RefuseAsMissing));
  EXPECT_EQ(g_setterCalls, 1);
  // The style is written before the attempt; nothing after the refusal is reported.
  EXPECT_EQ(console.Out(), "[INFO ] 墙纸样式 = 10（10=填充 6=适应 2=拉伸 0=居中 22=跨区），平铺 = 0\n");
  EXPECT_EQ(console.Err(), "[ERROR] SystemParametersInfoW(SPI_SETDESKWALLPAPER) 失败，GetLastError=2\n");
  EXPECT_EQ(log.NewLines(), std::vector<std::string>{"[ERROR] 设置墙纸失败 (GetLastError=2)：" + U8(target)});
}

TEST(ApplyWallpaper, RefusalIsFalseWithoutTouchingTheShell) {
  g_setterCalls = 0;
  ConsoleCapture console;
  EXPECT_FALSE(ApplyWallpaperWith(L"C:\\x.png", RefuseAsMissing));
  EXPECT_EQ(console.Out(), "");
  // No shell-window warning either: the refusal ends the call.
  EXPECT_EQ(console.Err(), "[ERROR] SystemParametersInfoW(SPI_SETDESKWALLPAPER) 失败，GetLastError=2\n");
}

TEST(ApplyWallpaper, AcceptedFileWithoutShellWindowsWarnsAndStillSucceeds) {
  // This test holds the desktop lock, so no stand-in shell of an end-to-end test is running.
  ASSERT_EQ(FindWindowW(L"Progman", nullptr), nullptr);
  ASSERT_EQ(FindWindowW(L"WorkerW", nullptr), nullptr);
  g_setterCalls = 0;
  ConsoleCapture console;
  EXPECT_TRUE(ApplyWallpaperWith(L"C:\\壁纸\\x.png", Accept));
  EXPECT_EQ(g_setterCalls, 1);
  EXPECT_EQ(g_setterPath, L"C:\\壁纸\\x.png");
  EXPECT_EQ(console.Err(), "[WARN ] 没找到 Progman/WorkerW 窗口 —— Explorer 可能没在运行，画面不会更新\n");
  EXPECT_EQ(console.Out(), "");
}

}  // namespace
