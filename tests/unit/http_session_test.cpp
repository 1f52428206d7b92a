// The session's proxy setting: the automatic proxy where it exists, the default configuration where not.
#include "update/http_session.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<DWORD> g_accessTypes;
DWORD g_automaticError = ERROR_SUCCESS;  // what the fake answers to the automatic-proxy type

HINTERNET g_session = reinterpret_cast<HINTERNET>(static_cast<INT_PTR>(0x5e55));

HINTERNET WINAPI FakeOpen(LPCWSTR, DWORD accessType, LPCWSTR, LPCWSTR, DWORD) {
  g_accessTypes.push_back(accessType);
  if (accessType == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY && g_automaticError != ERROR_SUCCESS) {
    SetLastError(g_automaticError);
    return nullptr;
  }
  return g_session;
}

HINTERNET Open(DWORD automaticError) {
  g_accessTypes.clear();
  g_automaticError = automaticError;
  return OpenUpdateSession(FakeOpen, L"agent");
}

}  // namespace

TEST(UpdateSessionTest, AutomaticProxyWhereTheSystemHasIt) {
  EXPECT_EQ(Open(ERROR_SUCCESS), g_session);
  EXPECT_EQ(g_accessTypes, std::vector<DWORD>{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY});
}

TEST(UpdateSessionTest, DefaultProxyWhereTheAutomaticTypeIsUnknown) {
  EXPECT_EQ(Open(ERROR_INVALID_PARAMETER), g_session);
  EXPECT_EQ(g_accessTypes,
            (std::vector<DWORD>{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY}));
}

TEST(UpdateSessionTest, OtherFailuresAreNotRetriedWithAnotherProxy) {
  EXPECT_EQ(Open(ERROR_NOT_ENOUGH_MEMORY), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(g_accessTypes, std::vector<DWORD>{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY});
}
