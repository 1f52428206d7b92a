// Registry and folder change notices.
#include "wallpaper/desktop_changes.h"

#include "support/registry.h"
#include "wallpaper/wallpaper_apply.h"

namespace {

constexpr DWORD kFolderChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;

}  // namespace

Status DesktopChanges::ArmSettings() {
  // Asynchronous: the notice fires once, on the event, for the first change after this call.
  const LSTATUS armed =
      RegNotifyChangeKeyValue(desktopKey_.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, settingsEvent_.get(), TRUE);
  return armed == ERROR_SUCCESS ? Status::Success() : Status::Failure(static_cast<unsigned long>(armed));
}

Status DesktopChanges::Arm(const std::wstring& folder) {
  if (!desktopKey_) {
    Result<UniqueRegKey> key = OpenRegistryKey(HKEY_CURRENT_USER, kDesktopKey, KEY_NOTIFY);
    if (!key) return key.status;
    UniqueKernelHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event) return Status::LastError();
    desktopKey_ = std::move(key.value);
    settingsEvent_ = std::move(event);
    const Status armed = ArmSettings();
    if (!armed) {
      desktopKey_.reset();
      return armed;
    }
  }
  if (folder_ && folder == folderPath_) return Status::Success();
  UniqueChangeNotification notice(FindFirstChangeNotificationW(folder.c_str(), FALSE, kFolderChanges));
  if (!notice) {
    const Status failed = Status::LastError();
    desktopKey_.reset();
    folder_.reset();
    return failed;
  }
  folder_ = std::move(notice);
  folderPath_ = folder;
  return Status::Success();
}

Status DesktopChanges::Rearm(HANDLE signalled) {
  if (!signalled) return Status::Success();
  if (signalled == settingsSignal()) return ArmSettings();
  if (signalled == folderSignal()) {
    return FindNextChangeNotification(folder_.get()) ? Status::Success() : Status::LastError();
  }
  return Status::Success();
}
