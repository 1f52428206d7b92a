// Whose published watcher status is believed: the decision over owners as another user, SYSTEM or the
// Administrators would leave them (Wine makes every object with one owner, so the decision is tested here).
#include "app/watcher_status.h"

#include <gtest/gtest.h>

TEST(WatcherStatusTest, OnlyTheUserSystemAndTheAdministratorsAreBelieved) {
  const std::wstring me = L"S-1-5-21-1004336348-1177238915-682003330-1001";
  EXPECT_TRUE(IsTrustedStatusOwner(me, me));
  EXPECT_TRUE(IsTrustedStatusOwner(L"S-1-5-18", me));
  EXPECT_TRUE(IsTrustedStatusOwner(L"S-1-5-32-544", me));
  // Another user of the machine, a guest, everyone, the users' group: a status they made is not believed.
  EXPECT_FALSE(IsTrustedStatusOwner(L"S-1-5-21-1004336348-1177238915-682003330-1002", me));
  EXPECT_FALSE(IsTrustedStatusOwner(L"S-1-5-32-546", me));
  EXPECT_FALSE(IsTrustedStatusOwner(L"S-1-1-0", me));
  EXPECT_FALSE(IsTrustedStatusOwner(L"S-1-5-32-545", me));
  // An owner that could not be read is nobody to believe, also when the user could not be read either.
  EXPECT_FALSE(IsTrustedStatusOwner(L"", me));
  EXPECT_FALSE(IsTrustedStatusOwner(L"", L""));
}
