// Wallpaper check: the comparison rules over registry and system values, and reading registry data as text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/handles.h"
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

  int Check(std::wstring* actual) {
    WallpaperSources sources{[this](const std::wstring&) { return present; },
                             [this] {
                               ++registryReads;
                               return registry;
                             },
                             [this] {
                               ++systemReads;
                               return system;
                             }};
    return CheckWallpaperWith(kTarget, sources, actual);
  }
};

TEST(CheckWallpaper, BothSourcesNamingTheTargetPassAndLeaveActualAlone) {
  FakeDesktop desk;
  std::wstring actual = L"as passed";
  EXPECT_EQ(desk.Check(&actual), kCheckMatch);
  EXPECT_EQ(actual, L"as passed");
  EXPECT_EQ(desk.registryReads, 1);
  EXPECT_EQ(desk.systemReads, 1);
}

TEST(CheckWallpaper, MissingTargetWinsWithoutReadingAnything) {
  FakeDesktop desk;
  desk.present = false;
  std::wstring actual;
  EXPECT_EQ(desk.Check(&actual), kCheckTargetGone);
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
    EXPECT_EQ(desk.Check(&actual), kCheckMatch) << U8(spelling);
  }
}

TEST(CheckWallpaper, SpellingsThatNeedResolvingAreAMismatchNamingTheRegistryText) {
  for (const wchar_t* spelling :
       {L"C:/Users/A/Pictures/OKAVU-wallpaper.png", L"C:\\Users\\A\\Pictures\\.\\OKAVU-wallpaper.png",
        L"OKAVU-wallpaper.png", L"C:\\Users\\A\\PICTUR~1\\OKAVU-~1.PNG"}) {
    FakeDesktop desk;
    desk.registry = spelling;
    std::wstring actual;
    EXPECT_EQ(desk.Check(&actual), kCheckMismatch) << U8(spelling);
    EXPECT_EQ(actual, spelling);
    EXPECT_EQ(desk.systemReads, 0) << "the system value is only asked when the registry matches";
  }
}

TEST(CheckWallpaper, EmptyRegistryValueHasItsPlaceholder) {
  FakeDesktop desk;
  desk.registry = L"";
  std::wstring actual;
  EXPECT_EQ(desk.Check(&actual), kCheckMismatch);
  EXPECT_EQ(actual, L"(注册表值为空)");
  EXPECT_EQ(desk.systemReads, 0);
}

TEST(CheckWallpaper, SystemValueNamingAnotherFileIsAMismatch) {
  FakeDesktop desk;
  desk.system = L"C:\\Windows\\Web\\Wallpaper\\other.jpg";
  std::wstring actual;
  EXPECT_EQ(desk.Check(&actual), kCheckMismatch);
  EXPECT_EQ(actual, L"C:\\Windows\\Web\\Wallpaper\\other.jpg");
}

TEST(CheckWallpaper, EmptySystemValueHasItsPlaceholder) {
  FakeDesktop desk;
  desk.system = L"";
  std::wstring actual;
  EXPECT_EQ(desk.Check(&actual), kCheckMismatch);
  EXPECT_EQ(actual, L"(SPI_GETDESKWALLPAPER 返回空)");
}

TEST(CheckWallpaper, RealTargetMissingOnDiskIsGone) {
  ScratchDir dir;
  std::wstring actual;
  EXPECT_EQ(CheckWallpaper(dir.File(L"never-written.png"), &actual), kCheckTargetGone);
  EXPECT_EQ(actual, L"(目标文件已被删除)");
  actual.clear();
  EXPECT_EQ(CheckWallpaper(dir.Path(), &actual), kCheckTargetGone) << "a folder is no wallpaper file";
}

std::vector<unsigned char> Utf16Bytes(const std::wstring& text, bool terminator) {
  std::vector<unsigned char> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<unsigned char>(c & 0xFF));
    bytes.push_back(static_cast<unsigned char>(c >> 8));
  }
  if (terminator) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

TEST(RegistryDataText, StopsAtTheFirstZeroCharacter) {
  auto b = Utf16Bytes(L"C:\\壁纸.png", true);
  EXPECT_EQ(RegistryDataText(b.data(), static_cast<unsigned long>(b.size())), L"C:\\壁纸.png");
  auto two = Utf16Bytes(std::wstring(L"a.png\0b.png", 11), true);
  EXPECT_EQ(RegistryDataText(two.data(), static_cast<unsigned long>(two.size())), L"a.png");
}

TEST(RegistryDataText, DataWithoutTerminatorAndOddLengths) {
  auto b = Utf16Bytes(L"x.png", false);
  EXPECT_EQ(RegistryDataText(b.data(), static_cast<unsigned long>(b.size())), L"x.png");
  b.push_back('Z');  // a stray last byte is no character
  EXPECT_EQ(RegistryDataText(b.data(), static_cast<unsigned long>(b.size())), L"x.png");
  EXPECT_EQ(RegistryDataText(b.data(), 1), L"");
  EXPECT_EQ(RegistryDataText(nullptr, 0), L"");
}

// A scratch key under HKCU (outside Software\OKAVU, which end-to-end tests reset), deleted at the end.
class ScratchKey : public ::testing::Test {
 protected:
  const std::wstring path = L"Software\\OKAVU-WallpaperCheckTest-" + std::to_wstring(GetCurrentProcessId());
  UniqueRegKey key;

  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    key.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  }
  void Set(const wchar_t* name, DWORD type, const std::vector<unsigned char>& data) {
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
  }
  std::wstring Read(const wchar_t* name) { return ReadRegistryText(HKEY_CURRENT_USER, path.c_str(), name); }
};

TEST_F(ScratchKey, AnyValueTypeIsReadAsText) {
  Set(L"sz", REG_SZ, Utf16Bytes(L"C:\\a.png", true));
  Set(L"expand", REG_EXPAND_SZ, Utf16Bytes(L"%USERPROFILE%\\a.png", true));
  Set(L"binary", REG_BINARY, Utf16Bytes(L"C:\\b.png", false));
  Set(L"odd", REG_BINARY, {'C', 0, ':', 0, 'x'});
  Set(L"dword", REG_DWORD, {'Q', 0, 0, 0});
  EXPECT_EQ(Read(L"sz"), L"C:\\a.png");
  EXPECT_EQ(Read(L"expand"), L"%USERPROFILE%\\a.png");  // not expanded
  EXPECT_EQ(Read(L"binary"), L"C:\\b.png");
  EXPECT_EQ(Read(L"odd"), L"C:");
  EXPECT_EQ(Read(L"dword"), L"Q");
}

TEST_F(ScratchKey, LongValuesAreReadWhole) {
  std::wstring text = L"C:\\" + std::wstring(5000, L'长') + L".png";
  Set(L"long", REG_SZ, Utf16Bytes(text, true));
  EXPECT_EQ(Read(L"long"), text);
}

TEST_F(ScratchKey, MissingEmptyAndUnopenableAreEmpty) {
  Set(L"empty", REG_SZ, {});
  EXPECT_EQ(Read(L"empty"), L"");
  EXPECT_EQ(Read(L"absent"), L"");
  EXPECT_EQ(ReadRegistryText(HKEY_CURRENT_USER, (path + L"\\nope").c_str(), L"sz"), L"");
}

}  // namespace
