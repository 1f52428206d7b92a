// Telling the console build from the windowless one by the subsystem field of a PE header.
#include "support/program_build.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The smallest header that names a subsystem: "MZ", e_lfanew, "PE\0\0", the file header and the
// optional header up to its subsystem field.
std::vector<unsigned char> Header(unsigned subsystem, size_t lfanew = 0x80) {
  std::vector<unsigned char> data(lfanew + 4 + 20 + 70, 0);
  data[0] = 'M';
  data[1] = 'Z';
  data[0x3C] = static_cast<unsigned char>(lfanew);
  data[lfanew] = 'P';
  data[lfanew + 1] = 'E';
  data[lfanew + 4 + 20 + 68] = static_cast<unsigned char>(subsystem);
  return data;
}

}  // namespace

TEST(ProgramBuildTest, ReadsTheSubsystemAndRefusesWhatIsNoPeHeader) {
  std::vector<unsigned char> gui = Header(2);
  EXPECT_EQ(PeSubsystem(gui.data(), gui.size()), 2u);
  std::vector<unsigned char> console = Header(3);
  EXPECT_EQ(PeSubsystem(console.data(), console.size()), 3u);
  EXPECT_FALSE(PeSubsystem(gui.data(), gui.size() - 1)) << "cut before the field";
  gui[0] = 'X';
  EXPECT_FALSE(PeSubsystem(gui.data(), gui.size()));
  console[0x80] = 'N';
  EXPECT_FALSE(PeSubsystem(console.data(), console.size()));
  std::vector<unsigned char> far = Header(2);
  far[0x3C] = 0xFF;
  far[0x3D] = 0xFF;
  far[0x3E] = 0xFF;
  far[0x3F] = 0xFF;
  EXPECT_FALSE(PeSubsystem(far.data(), far.size())) << "a header offset past the data";
  // The unit tests are console programs.
  EXPECT_EQ(RunningSubsystem(), kConsoleSubsystem);
  EXPECT_FALSE(RunningWindowless());
}
