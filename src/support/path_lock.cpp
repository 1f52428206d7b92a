// Path locks.
#include "support/path_lock.h"

#include <sddl.h>

#include <cwctype>

namespace {

// Everyone may wait on the lock and release it; nobody but its creator may change it.
constexpr wchar_t kLockSecurity[] = L"D:(A;;0x00100001;;;WD)";

// What a process other than the creator asks for: waiting on the lock and releasing it.
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

}  // namespace

std::wstring PathLockName(const wchar_t* what, const std::wstring& path) {
  std::wstring name = std::wstring(L"Global\\OKAVU_") + what + L"_";
  for (wchar_t c : path) {
    name.push_back(c == L'/' || c == L':' || c == L'\\' ? L'_' : static_cast<wchar_t>(towlower(c)));
  }
  return name;
}

Result<HeldMutex> TakePathLock(const std::wstring& name, DWORD timeoutMs) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
    return Status::LastError();
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  HeldMutex lock;
  lock.mutex.reset(CreateMutexExW(&attributes, name.c_str(), 0, kLockAccess));
  const Status created = lock.mutex ? Status::Success() : Status::LastError();
  LocalFree(descriptor);
  if (!created) return created;
  const DWORD waited = lock.Take(timeoutMs);
  if (!lock.held()) return Status::Failure(waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError());
  return lock;
}
