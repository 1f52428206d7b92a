// Telling the console build from the windowless one by the subsystem field of a PE header, read from the
// two programs the build made.
#include "support/program_build.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/paths.h"
#include "support/system_folders.h"
#include "support/text.h"
#include "fixtures.h"

namespace {

// The first bytes of a program of the build (the unit tests lie in tests\ beside OKAVU.exe and OKAVUw.exe),
// as much as the update cycle reads.
std::vector<unsigned char> Head(const wchar_t* name) {
  const std::wstring path = FullPath(Join(FolderOf(ModulePath(), L"."), std::wstring(L"..\\") + name));
  std::vector<unsigned char> bytes = fixtures::FileBytes(path);
  EXPECT_GT(bytes.size(), 4096u) << ToUtf8(path);
  bytes.resize(4096);
  return bytes;
}

}  // namespace

TEST(ProgramBuildTest, ReadsTheSubsystemOfBothProgramsAndRefusesWhatIsNoPeHeader) {
  const std::vector<unsigned char> console = Head(L"OKAVU.exe");
  const std::vector<unsigned char> windowless = Head(L"OKAVUw.exe");
  EXPECT_EQ(PeSubsystem(console.data(), console.size()), kConsoleSubsystem);
  EXPECT_EQ(PeSubsystem(windowless.data(), windowless.size()), kWindowlessSubsystem);

  // Where the header says it is: e_lfanew at 0x3C, then "PE\0\0", the file header and the optional
  // header up to its subsystem field.
  const size_t pe = console[0x3C] | (console[0x3D] << 8);
  const size_t field = pe + 4 + 20 + 68;
  EXPECT_FALSE(PeSubsystem(console.data(), field + 1)) << "cut inside the field";
  EXPECT_EQ(PeSubsystem(console.data(), field + 2), kConsoleSubsystem) << "just long enough";
  std::vector<unsigned char> spoilt = console;
  spoilt[0] = 'X';
  EXPECT_FALSE(PeSubsystem(spoilt.data(), spoilt.size())) << "no MZ";
  spoilt = console;
  spoilt[pe + 2] = 'X';
  EXPECT_FALSE(PeSubsystem(spoilt.data(), spoilt.size())) << "no PE signature";
  spoilt = console;
  for (size_t i = 0x3C; i < 0x40; ++i) spoilt[i] = 0xFF;
  EXPECT_FALSE(PeSubsystem(spoilt.data(), spoilt.size())) << "a header offset past the data";
  EXPECT_FALSE(PeSubsystem(console.data(), 0x3F)) << "too short for the offset";

  // The unit tests are console programs.
  EXPECT_EQ(RunningSubsystem(), kConsoleSubsystem);
  EXPECT_FALSE(RunningWindowless());
}
