// Persisted update state: the real key HKCU\Software\OKAVU\Quillmere, cleaned before and after each test.
#include "support/state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/handles.h"

namespace {

constexpr wchar_t kParentKey[] = L"Software\\OKAVU";

bool KeyExists(const wchar_t* path) {
  UniqueRegKey key;
  return RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

class StateKey : public ::testing::Test {
 protected:
  void SetUp() override { RemoveKey(); }
  void TearDown() override { RemoveKey(); }

  // Removes the state key, and its parent unless other code keeps keys of its own there.
  static void RemoveKey() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kStateKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kStateKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kParentKey);
  }

  // Type and size of a stored value, straight from the registry.
  static bool Query(const wchar_t* name, DWORD& type, DWORD& size) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kStateKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
    return RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  }

  static void StoreRaw(const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kStateKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
  }
};

TEST_F(StateKey, ReadingNeverCreatesTheKey) {
  EXPECT_EQ(ReadStateValue(L"PreviousVersion"), L"");
  EXPECT_FALSE(KeyExists(kStateKey));
}

TEST_F(StateKey, WritingCreatesTheWholePathAndReadsBack) {
  ASSERT_FALSE(KeyExists(kStateKey));
  EXPECT_TRUE(WriteStateValue(L"PendingNewExe", L"C:\\程序\\OKAVU.new.exe").ok());
  EXPECT_TRUE(KeyExists(kStateKey));
  EXPECT_EQ(ReadStateValue(L"PendingNewExe"), L"C:\\程序\\OKAVU.new.exe");
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_TRUE(Query(L"PendingNewExe", type, size));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 2u * (wcslen(L"C:\\程序\\OKAVU.new.exe") + 1));
  EXPECT_EQ(ReadStateValue(L"LastUpdateTime"), L"");
}

TEST_F(StateKey, AnEmptyStringIsStoredAsATwoByteStringAndReadsBackEmpty) {
  ASSERT_TRUE(WriteStateValue(L"PendingNewExe", L"C:\\x.exe").ok());
  ASSERT_TRUE(WriteStateValue(L"PendingNewExe", L"").ok());
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_TRUE(Query(L"PendingNewExe", type, size));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(ReadStateValue(L"PendingNewExe"), L"");
}

TEST_F(StateKey, A510CharacterValueReadsBackWholeAnd511ReadsAsEmpty) {
  std::wstring longest(510, L'版');
  ASSERT_TRUE(WriteStateValue(L"LastUpdateAttempt", longest).ok());
  EXPECT_EQ(ReadStateValue(L"LastUpdateAttempt"), longest);
  ASSERT_TRUE(WriteStateValue(L"LastUpdateAttempt", longest + L"x").ok());
  EXPECT_EQ(ReadStateValue(L"LastUpdateAttempt"), L"");
}

TEST_F(StateKey, AValueOfAnotherTypeReadsAsTextUpToItsFirstZero) {
  // "1.5" then a zero unit then "X", stored as binary.
  StoreRaw(L"PreviousVersion", REG_BINARY, {'1', 0, '.', 0, '5', 0, 0, 0, 'X', 0});
  EXPECT_EQ(ReadStateValue(L"PreviousVersion"), L"1.5");
}

}  // namespace
