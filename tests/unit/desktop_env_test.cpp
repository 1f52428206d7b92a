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
                                       "WallpaperEnforced",
                                       "BackgroundNotPicture",
                                       "CspDesktopImage"};
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

TEST(JudgeDesktop, EveryBackgroundButAPictureIsReportedOnceKnown) {
  for (unsigned long type : {1ul, 2ul, 3ul, 6ul, 0xFFFFFFFFul}) {
    DesktopProbe p = Probe(1, true, 1);
    p.backgroundTypeKnown = true;
    p.backgroundType = type;
    DesktopVerdict v = JudgeDesktop(p);
    EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::ShellSession, F::BackgroundNotPicture})) << type;
    EXPECT_EQ(v.reach, R::kReady);
  }
  DesktopProbe picture = Probe(1, true, 1);
  picture.backgroundTypeKnown = true;
  EXPECT_EQ(JudgeDesktop(picture).findings, (Findings{F::OwnSession, F::ShellSession}));
  // A value that could not be read says nothing, whatever number it left behind.
  DesktopProbe unreadable = Probe(1, true, 1);
  unreadable.backgroundType = 2;
  EXPECT_EQ(JudgeDesktop(unreadable).findings, (Findings{F::OwnSession, F::ShellSession}));
}

TEST(JudgeDesktop, TheServiceProvidersImageCountsOnceItIsInPlace) {
  DesktopProbe p = Probe(1, true, 1);
  p.cspDesktopImage = L"C:\\Windows\\Personalization\\desk.jpg";
  p.cspStatusKnown = true;
  p.cspStatus = 1;
  DesktopVerdict v = JudgeDesktop(p);
  EXPECT_EQ(v.findings, (Findings{F::OwnSession, F::ShellSession, F::CspDesktopImage}));
  EXPECT_EQ(v.reach, R::kReady);
  // Still downloading, failed, or no status to read: not shown, so nothing to report.
  for (unsigned long status : {2ul, 3ul, 6ul}) {
    p.cspStatus = status;
    EXPECT_EQ(JudgeDesktop(p).findings, (Findings{F::OwnSession, F::ShellSession})) << status;
  }
  p.cspStatus = 1;
  p.cspStatusKnown = false;
  EXPECT_EQ(JudgeDesktop(p).findings, (Findings{F::OwnSession, F::ShellSession}));
  DesktopProbe noPath = Probe(1, true, 1);
  noPath.cspStatusKnown = true;
  noPath.cspStatus = 1;
  EXPECT_EQ(JudgeDesktop(noPath).findings, (Findings{F::OwnSession, F::ShellSession}));
}

}  // namespace
