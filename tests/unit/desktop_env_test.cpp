// Desktop environment: which findings a probe yields, in order, and whether the run may paint, wait for
// the shell, or not reach the desktop at all.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "wallpaper/desktop_env.h"

// Readable failure output: the finding's name instead of its bytes.
void PrintTo(DesktopFinding f, std::ostream* os) {
  static const char* const kNames[] = {"OwnSession",
                                       "SessionZero",
                                       "NoShell",
                                       "ShellSession",
                                       "SessionMismatch",
                                       "PolicyLocked",
                                       "BackgroundChangeBlocked",
                                       "WallpaperEnforced"};
  *os << kNames[static_cast<int>(f)];
}

namespace {

using F = DesktopFinding;
using R = DesktopReach;
using Findings = std::vector<DesktopFinding>;

DesktopProbe Probe(unsigned long own, bool shell, unsigned long shellSession, bool policy = false) {
  DesktopProbe p;
  p.ownSessionKnown = true;
  p.ownSession = own;
  p.haveShell = shell;
  p.shellSession = shellSession;
  p.policyLocked = policy;
  return p;
}

TEST(JudgeDesktop, ShellInTheSameSessionGivesTwoInfoLines) {
  DesktopVerdict v = JudgeDesktop(Probe(1, true, 1));
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::ShellSession}));
  EXPECT_EQ(v.reach, R::kReady);
}

TEST(JudgeDesktop, SessionZeroWithShellInSessionOneReportsBothWithoutMismatch) {
  DesktopVerdict v = JudgeDesktop(Probe(0, true, 1));
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::SessionZero, F::ShellSession}));
  EXPECT_EQ(v.reach, R::kUnreachable);
}

TEST(JudgeDesktop, FailedSessionQueryCountsAsSessionZeroWithoutItsInfoLine) {
  DesktopProbe p = Probe(0, true, 1);
  p.ownSessionKnown = false;
  DesktopVerdict v = JudgeDesktop(p);
  EXPECT_EQ(v.findings, (Findings{F::SessionZero, F::ShellSession}));
  EXPECT_EQ(v.reach, R::kUnreachable);
}

TEST(JudgeDesktop, NoShellInAUserSessionIsTheOnlyThingWorthWaitingFor) {
  DesktopVerdict v = JudgeDesktop(Probe(1, false, 0));
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::NoShell}));
  EXPECT_EQ(v.reach, R::kNoShellYet);
}

TEST(JudgeDesktop, EveryCheckRunsBeforeTheDecisionAndSessionZeroIsNeverWaitedOut) {
  DesktopVerdict v = JudgeDesktop(Probe(0, false, 0, true));
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::SessionZero, F::NoShell, F::PolicyLocked}));
  EXPECT_EQ(v.reach, R::kUnreachable);
}

TEST(JudgeDesktop, ShellInAnotherNonZeroSessionOnlyWarns) {
  DesktopVerdict v = JudgeDesktop(Probe(1, true, 2));
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::ShellSession, F::SessionMismatch}));
  EXPECT_EQ(v.reach, R::kReady);
}

TEST(JudgeDesktop, UnknownShellSessionIsNoMismatch) {
  DesktopVerdict v = JudgeDesktop(Probe(3, true, 0));
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::ShellSession}));
  EXPECT_EQ(v.reach, R::kReady);
}

TEST(JudgeDesktop, PoliciesAreReportedButDoNotBlock) {
  DesktopVerdict v = JudgeDesktop(Probe(1, true, 1, true));
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::ShellSession, F::PolicyLocked}));
  EXPECT_EQ(v.reach, R::kReady);
  DesktopProbe groupPolicy = Probe(1, true, 1);
  groupPolicy.backgroundChangeBlocked = true;
  groupPolicy.enforcedWallpaper = L"\\\\corp\\wall.jpg";
  v = JudgeDesktop(groupPolicy);
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::ShellSession, F::BackgroundChangeBlocked, F::WallpaperEnforced}));
  EXPECT_EQ(v.reach, R::kReady);
}

}  // namespace
