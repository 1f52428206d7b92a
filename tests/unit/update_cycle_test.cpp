// The cycle's guard and its busy test: what every way out of a cycle leaves behind.
#include "update/update_cycle.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/handles.h"
#include "support/paths.h"
#include "update/handover_signal.h"

namespace {

class UpdateCycleTest : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
    path_ = Join(temp, L"okavu-update-cycle-test-" + std::to_wstring(GetCurrentProcessId()) + L".exe");
    UniqueFile file(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    ASSERT_TRUE(file);
    g_updaterBusy.store(1);
  }
  void TearDown() override {
    DeleteFileW(path_.c_str());
    g_updaterBusy.store(0);
  }

  std::wstring path_;
};

}  // namespace

TEST_F(UpdateCycleTest, GuardDeletesTheDownloadAndFreesTheNextCycle) {
  {
    UpdateGuard guard;
    guard.path = path_;
  }
  EXPECT_FALSE(IsExistingFile(path_));
  EXPECT_EQ(g_updaterBusy.load(), 0);
}

TEST_F(UpdateCycleTest, GuardBeforeTheDownloadOnlyFreesTheNextCycle) {
  { UpdateGuard guard; }
  EXPECT_TRUE(IsExistingFile(path_));
  EXPECT_EQ(g_updaterBusy.load(), 0);
}

TEST_F(UpdateCycleTest, GuardAfterHandOverLeavesTheDownloadAndStaysBusy) {
  {
    UpdateGuard guard;
    guard.path = path_;
    guard.handedOver = true;
  }
  EXPECT_TRUE(IsExistingFile(path_));
  EXPECT_EQ(g_updaterBusy.load(), 1);
}

TEST_F(UpdateCycleTest, CycleWhileAnotherRunsReturnsWithoutTouchingAnything) {
  // A cycle that got past the busy test would end through its guard and clear the flag.
  DoUpdateCycle();
  EXPECT_EQ(g_updaterBusy.load(), 1);
  EXPECT_EQ(g_updateReady.load(), 0);
}
