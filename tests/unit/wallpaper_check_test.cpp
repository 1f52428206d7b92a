// Wallpaper check: the comparison rules over the registry and system values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wallpaper/wallpaper_check.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

const std::wstring kTarget = L"C:\\Users\\A\\Pictures\\OKAVU-wallpaper.png";

// Fixed answers, counting how often each source was asked.
struct FakeDesktop {
  bool present = true;
  std::wstring registry = kTarget;
  std::wstring system = kTarget;
  int registryReads = 0;
  int systemReads = 0;

  WallpaperState Check(std::wstring* actual) {
    WallpaperSources sources{[this](const std::wstring&) { return present; },
                             [this] {
                               ++registryReads;
                               return registry;
                             },
                             [this] {
                               ++systemReads;
                               return system;
                             }};
    WallpaperCheck check = CheckWallpaperWith(kTarget, sources);
    if (check.state != WallpaperState::kMatch) *actual = check.actual;
    return check.state;
  }
};

TEST(CheckWallpaper, BothSourcesNamingTheTargetPassAndLeaveActualAlone) {
  FakeDesktop desk;
  std::wstring actual = L"as passed";
  EXPECT_EQ(desk.Check(&actual), WallpaperState::kMatch);
  EXPECT_EQ(actual, L"as passed");
  EXPECT_EQ(desk.registryReads, 1);
  EXPECT_EQ(desk.systemReads, 1);
}

TEST(CheckWallpaper, MissingTargetWinsWithoutReadingAnything) {
  FakeDesktop desk;
  desk.present = false;
  std::wstring actual;
  EXPECT_EQ(desk.Check(&actual), WallpaperState::kTargetGone);
  EXPECT_EQ(actual, L"(目标文件已被删除)");
  EXPECT_EQ(desk.registryReads, 0);
  EXPECT_EQ(desk.systemReads, 0);
}

TEST(CheckWallpaper, SpellingsThatSamePathForgivesStillMatch) {
  for (const wchar_t* spelling :
       {L"c:\\users\\a\\pictures\\okavu-wallpaper.png", L"\\\\?\\C:\\Users\\A\\Pictures\\OKAVU-wallpaper.png",
        L"C:\\Users\\A\\Pictures\\OKAVU-wallpaper.png\\\\", L"C:\\Users\\A\\Pictures\\OKAVU-wallpaper.png/"}) {
    FakeDesktop desk;
    desk.registry = spelling;
    desk.system = spelling;
    std::wstring actual;
    EXPECT_EQ(desk.Check(&actual), WallpaperState::kMatch) << U8(spelling);
  }
}

TEST(CheckWallpaper, SpellingsThatNeedResolvingAreAMismatchNamingTheRegistryText) {
  for (const wchar_t* spelling :
       {L"C:/Users/A/Pictures/OKAVU-wallpaper.png", L"C:\\Users\\A\\Pictures\\.\\OKAVU-wallpaper.png",
        L"OKAVU-wallpaper.png", L"C:\\Users\\A\\PICTUR~1\\OKAVU-~1.PNG"}) {
    FakeDesktop desk;
    desk.registry = spelling;
    std::wstring actual;
    EXPECT_EQ(desk.Check(&actual), WallpaperState::kMismatch) << U8(spelling);
    EXPECT_EQ(actual, spelling);
    EXPECT_EQ(desk.systemReads, 0) << "the system value is only asked when the registry matches";
  }
}

TEST(CheckWallpaper, EmptyRegistryValueHasItsPlaceholder) {
  FakeDesktop desk;
  desk.registry = L"";
  std::wstring actual;
  EXPECT_EQ(desk.Check(&actual), WallpaperState::kMismatch);
  EXPECT_EQ(actual, L"(注册表值为空)");
  EXPECT_EQ(desk.systemReads, 0);
}

TEST(CheckWallpaper, SystemValueNamingAnotherFileIsAMismatch) {
  FakeDesktop desk;
  desk.system = L"C:\\Windows\\Web\\Wallpaper\\other.jpg";
  std::wstring actual;
  EXPECT_EQ(desk.Check(&actual), WallpaperState::kMismatch);
  EXPECT_EQ(actual, L"C:\\Windows\\Web\\Wallpaper\\other.jpg");
}

TEST(CheckWallpaper, EmptySystemValueHasItsPlaceholder) {
  FakeDesktop desk;
  desk.system = L"";
  std::wstring actual;
  EXPECT_EQ(desk.Check(&actual), WallpaperState::kMismatch);
  EXPECT_EQ(actual, L"(SPI_GETDESKWALLPAPER 返回空)");
}

TEST(CheckWallpaper, RealTargetMissingOnDiskIsGone) {
  ScratchDir dir;
  WallpaperCheck check = CheckWallpaper(dir.File(L"never-written.png"));
  EXPECT_EQ(check.state, WallpaperState::kTargetGone);
  EXPECT_EQ(check.actual, L"(目标文件已被删除)");
  EXPECT_EQ(CheckWallpaper(dir.Path()).state, WallpaperState::kTargetGone) << "a folder is no wallpaper file";
}

}  // namespace
