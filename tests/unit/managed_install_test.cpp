// A managed install: the HKLM value first, then whether a file can be made in the program's folder.
#include "update/managed_install.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/system_folders.h"

namespace {

TEST(ManagedInstall, TheValueDecidesFirstAndAFolderNoFileCanBeMadeInCountsAsManaged) {
  std::optional<unsigned long> value = 1;
  Status creation = Status::Success();
  int created = 0;
  ManagedInstallProbe probe;
  probe.managedValue = [&] { return value; };
  probe.folder = L"C:\\Program Files\\OKAVU";
  probe.createFileInFolder = [&] {
    ++created;
    return creation;
  };
  EXPECT_EQ(ManagedInstallReason(probe), L"HKLM\\SOFTWARE\\OKAVU\\Quillmere\\ManagedInstall=1");
  EXPECT_EQ(created, 0) << "the value alone decides";

  for (const std::optional<unsigned long> none : {std::optional<unsigned long>(0), std::optional<unsigned long>()}) {
    value = none;
    creation = Status::Success();
    EXPECT_EQ(ManagedInstallReason(probe), L"");
    creation = Status::Failure(ERROR_ACCESS_DENIED);
    EXPECT_EQ(ManagedInstallReason(probe), L"程序文件夹不可写 (err=5)：C:\\Program Files\\OKAVU");
  }
}

TEST(ManagedInstall, TheRealProbeFindsItsWritableFolderAndLeavesNothingThere) {
  const ManagedInstallProbe probe = SystemManagedInstallProbe();
  const auto count = [&] {
    return std::distance(std::filesystem::directory_iterator(probe.folder), std::filesystem::directory_iterator());
  };
  const auto before = count();
  EXPECT_TRUE(probe.createFileInFolder().ok());
  EXPECT_EQ(count(), before);
}

}  // namespace
