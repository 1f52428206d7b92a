// Registry access: data read as text whatever its type, values that grow, the 4-byte number read.
#include "support/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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
  EXPECT_EQ(RegistryDataText(b.data(), b.size()), L"C:\\壁纸.png");
  auto two = Utf16Bytes(std::wstring(L"a.png\0b.png", 11), true);
  EXPECT_EQ(RegistryDataText(two.data(), two.size()), L"a.png");
}

TEST(RegistryDataText, DataWithoutTerminatorAndOddLengths) {
  auto b = Utf16Bytes(L"x.png", false);
  EXPECT_EQ(RegistryDataText(b.data(), b.size()), L"x.png");
  b.push_back('Z');  // a stray last byte is no character
  EXPECT_EQ(RegistryDataText(b.data(), b.size()), L"x.png");
  EXPECT_EQ(RegistryDataText(b.data(), 1), L"");
  EXPECT_EQ(RegistryDataText(nullptr, 0), L"");
}

// A scratch key under HKCU (outside Software\OKAVU, which end-to-end tests reset), deleted at the end.
class ScratchKey : public ::testing::Test {
 protected:
  const std::wstring path = L"Software\\OKAVU-WallpaperCheckTest-" + std::to_wstring(GetCurrentProcessId());
  UniqueRegKey key;

  void SetUp() override {
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
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

TEST_F(ScratchKey, NumbersAreReadIntoExactlyFourBytes) {
  Set(L"one", REG_DWORD, {1, 0, 0, 0});
  Set(L"text", REG_SZ, Utf16Bytes(L"1", true));
  Set(L"wide", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
  Set(L"short", REG_BINARY, {7});
  Result<unsigned long> one = ReadRegistryNumber(key.get(), L"one");
  EXPECT_TRUE(one.ok());
  EXPECT_EQ(one.value, 1u);
  // The type is not looked at: four bytes of text are a number too.
  EXPECT_EQ(ReadRegistryNumber(key.get(), L"text").value, 0x31u);
  Result<unsigned long> wide = ReadRegistryNumber(key.get(), L"wide");
  EXPECT_FALSE(wide.ok());
  EXPECT_EQ(wide.error(), static_cast<unsigned long>(ERROR_MORE_DATA));
  EXPECT_EQ(ReadRegistryNumber(key.get(), L"short").value, 7u);
  EXPECT_EQ(ReadRegistryNumber(key.get(), L"absent").error(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ScratchKey, MissingEmptyAndUnopenableAreEmpty) {
  Set(L"empty", REG_SZ, {});
  EXPECT_EQ(Read(L"empty"), L"");
  EXPECT_EQ(Read(L"absent"), L"");
  EXPECT_EQ(ReadRegistryText(HKEY_CURRENT_USER, (path + L"\\nope").c_str(), L"sz"), L"");
}

}  // namespace
