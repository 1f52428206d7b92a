// A program installed per machine, which a standard user can never replace: its new versions come from
// the administrator's deployment, so it makes no update request at all.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "support/result.h"

// Under HKEY_LOCAL_MACHINE; the per-machine package writes "ManagedInstall" = 1 (REG_DWORD) there.
inline constexpr wchar_t kManagedInstallKey[] = L"SOFTWARE\\OKAVU\\Quillmere";
inline constexpr wchar_t kManagedInstallValue[] = L"ManagedInstall";

// What tells a managed install apart.
struct ManagedInstallProbe {
  // "ManagedInstall" by the rule for stored numbers; nullopt when it is absent or unreadable.
  std::function<std::optional<unsigned long>()> managedValue;
  std::wstring folder;  // the program's own folder
  // Creates a file in folder and removes it again; fails with the error of the creation.
  std::function<Status()> createFileInFolder;
};

// Empty when the program may update itself; otherwise the reason it may not, for the one line that says
// so: the ManagedInstall value when it is not 0, else (a copy placed by hand where its user cannot write)
// the folder in which no file can be created.
std::wstring ManagedInstallReason(const ManagedInstallProbe& probe);

// The registry value and the running executable's folder.
ManagedInstallProbe SystemManagedInstallProbe();
