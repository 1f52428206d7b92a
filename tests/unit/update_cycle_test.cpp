// The cycle's guard and its busy test: what every way out of a cycle leaves behind.
#include "update/update_cycle.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/paths.h"
#include "update/handover_signal.h"
#include "fixtures.h"

namespace {

class UpdateCycleTest : public testing::Test {
 protected:
  void SetUp() override {
    fixtures::WriteFileBytes(path_, {});
    ASSERT_TRUE(IsExistingFile(path_));
    g_updaterBusy.store(1);
  }
  void TearDown() override { g_updaterBusy.store(0); }

  fixtures::ScratchDir dir_;
  std::wstring path_ = dir_.File(L"OKAVU.new.exe");
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
