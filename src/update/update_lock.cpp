// The update lock file.
#include "update/update_lock.h"

namespace {

constexpr DWORD kRetryPauseMs = 100;

// Another process holds the file, or it is on its way out after its last holder closed it. A folder the
// caller may not write answers ERROR_ACCESS_DENIED too, but then there is no file.
bool TakenByAnother(DWORD error, const std::wstring& path) {
  if (error == ERROR_SHARING_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const DWORD why = GetLastError();
  return why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::wstring UpdateLockPath(const std::wstring& executable) { return executable + L".update.lock"; }

Result<UniqueFile> TakeUpdateLock(const std::wstring& executable, DWORD timeoutMs) {
  const std::wstring path = UpdateLockPath(executable);
  const DWORD start = GetTickCount();
  for (;;) {
    // No sharing at all: while this handle is open, nobody else opens the file. A lock left on disk by a
    // power failure is simply opened again.
    UniqueFile lock(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (lock) return lock;
    const DWORD error = GetLastError();
    if (!TakenByAnother(error, path)) return Status::Failure(error);
    if (GetTickCount() - start >= timeoutMs) return Status::Failure(WAIT_TIMEOUT);
    Sleep(kRetryPauseMs);
  }
}
