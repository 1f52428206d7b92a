// Registry access: data read as text whatever its type, values that grow, the rule for stored numbers.
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

TEST_F(ScratchKey, ANumberIsAReadDwordOrTheDecimalDigitsThatRegAddWritesWithoutAType) {
  Set(L"dword", REG_DWORD, {0x2A, 0, 0, 0});
  Set(L"max", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF});
  Set(L"digits", REG_SZ, Utf16Bytes(L"1", true));
  Set(L"ten", REG_SZ, Utf16Bytes(L"4294967295", true));
  Set(L"zeros", REG_SZ, Utf16Bytes(L"0000000007", false));
  const std::vector<std::pair<const wchar_t*, unsigned long>> numbers = {
      {L"dword", 42}, {L"max", 4294967295UL}, {L"digits", 1}, {L"ten", 4294967295UL}, {L"zeros", 7}};
  for (const auto& [name, number] : numbers) {
    Result<unsigned long> read = ReadRegistryDword(key.get(), name);
    EXPECT_TRUE(read.ok()) << name;
    EXPECT_EQ(read.value, number) << name;
  }
  // Present but not a number: wider or narrower data, other types, anything but 1 to 10 digits.
  Set(L"qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
  Set(L"short", REG_DWORD, {7});
  Set(L"binary", REG_BINARY, {1, 0, 0, 0});
  Set(L"expand", REG_EXPAND_SZ, Utf16Bytes(L"1", true));
  Set(L"empty", REG_SZ, Utf16Bytes(L"", true));
  Set(L"eleven", REG_SZ, Utf16Bytes(L"00000000001", true));
  Set(L"too big", REG_SZ, Utf16Bytes(L"4294967296", true));
  Set(L"signed", REG_SZ, Utf16Bytes(L"-1", true));
  Set(L"spaced", REG_SZ, Utf16Bytes(L" 1", true));
  Set(L"hex", REG_SZ, Utf16Bytes(L"0x1", true));
  Set(L"fullwidth", REG_SZ, Utf16Bytes(L"\xFF11", true));
  for (const wchar_t* name : {L"qword", L"short", L"binary", L"expand", L"empty", L"eleven", L"too big", L"signed",
                              L"spaced", L"hex", L"fullwidth"}) {
    EXPECT_EQ(ReadRegistryDword(key.get(), name).error(), static_cast<unsigned long>(ERROR_INVALID_DATA)) << name;
  }
  EXPECT_EQ(ReadRegistryDword(key.get(), L"absent").error(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ScratchKey, MissingEmptyAndUnopenableAreEmpty) {
  Set(L"empty", REG_SZ, {});
  EXPECT_EQ(Read(L"empty"), L"");
  EXPECT_EQ(Read(L"absent"), L"");
  EXPECT_EQ(ReadRegistryText(HKEY_CURRENT_USER, (path + L"\\nope").c_str(), L"sz"), L"");
}

}  // namespace
