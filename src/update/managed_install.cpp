// Whether this program's new versions come from the administrator.
#include "update/managed_install.h"

#include <windows.h>

#include "support/handles.h"
#include "support/paths.h"
#include "support/system_folders.h"
#include "support/random_text.h"
#include "support/registry.h"

std::wstring ManagedInstallReason(const ManagedInstallProbe& probe) {
  const std::optional<unsigned long> managed = probe.managedValue();
  if (managed && *managed != 0) {
    return L"HKLM\\" + std::wstring(kManagedInstallKey) + L"\\" + kManagedInstallValue + L"=" +
           std::to_wstring(*managed);
  }
  const Status created = probe.createFileInFolder();
  if (created) return {};
  return L"程序文件夹不可写 (err=" + std::to_wstring(created.error()) + L")：" + probe.folder;
}

ManagedInstallProbe SystemManagedInstallProbe() {
  ManagedInstallProbe probe;
  probe.managedValue = []() -> std::optional<unsigned long> {
    const Result<UniqueRegKey> key = OpenRegistryKey(HKEY_LOCAL_MACHINE, kManagedInstallKey, KEY_QUERY_VALUE);
    if (!key) return std::nullopt;
    const Result<unsigned long> value = ReadRegistryDword(key.value.get(), kManagedInstallValue);
    return value ? std::optional<unsigned long>(value.value) : std::nullopt;
  };
  probe.folder = FolderOf(ModulePath(), L".");
  probe.createFileInFolder = [folder = probe.folder]() -> Status {
    // A name nobody else uses, gone when it is closed: the probe leaves nothing behind.
    const Result<std::wstring> name = RandomHex(8);
    if (!name) return name.status;
    UniqueFile file(CreateFileW(Join(folder, L"OKAVU-write-check-" + name.value + L".tmp").c_str(), GENERIC_WRITE, 0,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return file ? Status::Success() : Status::LastError();
  };
  return probe;
}
