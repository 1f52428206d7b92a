// The published watcher status.
#include "app/watcher_status.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kMagic = 0x5157414Fu;  // "OAWQ"
constexpr size_t kVersionChars = 32;

// The block as it lies in memory; written once before the name is visible to anyone else's read.
struct StatusBlock {
  DWORD magic;
  DWORD pid;
  SYSTEMTIME started;
  wchar_t version[kVersionChars];
};

// A view of the block, unmapped at its end.
class View {
 public:
  View(HANDLE mapping, DWORD access) : data_(MapViewOfFile(mapping, access, 0, 0, sizeof(StatusBlock))) {}
  ~View() {
    if (data_) UnmapViewOfFile(data_);
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  StatusBlock* block() const { return static_cast<StatusBlock*>(data_); }

 private:
  void* data_;
};

// A SID as text ("S-1-5-..."); empty when it cannot be written.
std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!sid || !ConvertSidToStringSidW(sid, &text)) return {};
  std::wstring result = text;
  LocalFree(text);
  return result;
}

// The owner of a kernel object; empty when it cannot be read.
std::wstring ObjectOwner(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  std::wstring text = SidText(owner);
  LocalFree(descriptor);
  return text;
}

// The user this process runs as.
std::wstring CurrentUser() {
  UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
  DWORD bytes = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &bytes);
  std::vector<unsigned char> buffer(bytes);
  if (bytes == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), bytes, &bytes)) return {};
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

}  // namespace

Result<PublishedStatus> PublishedStatus::Publish(const WatcherInfo& info) {
  PublishedStatus published;
  // Owned by this user, and open to nobody but this user, SYSTEM and the Administrators: "--status" believes
  // a block only from these.
  const std::wstring user = CurrentUser();
  const std::wstring sddl = L"O:" + user + L"D:P(A;;GA;;;" + user + L")(A;;GA;;;SY)(A;;GA;;;BA)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (user.empty() ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return Status::LastError();
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  published.mapping_.reset(
      CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, sizeof(StatusBlock), kStatusName));
  const Status created = published.mapping_ ? Status::Success() : Status::LastError();
  LocalFree(descriptor);
  if (!created) return created;
  // Another watcher's block that has not gone yet is overwritten: this run has the lock now.
  View view(published.mapping_.get(), FILE_MAP_WRITE);
  if (!view.block()) return Status::LastError();
  StatusBlock block{};
  block.pid = info.pid;
  block.started = info.started;
  info.version.copy(block.version, kVersionChars - 1);  // the rest stays zero
  block.magic = kMagic;
  *view.block() = block;
  return published;
}

bool IsTrustedStatusOwner(const std::wstring& ownerSid, const std::wstring& userSid) {
  return !ownerSid.empty() && (ownerSid == userSid || ownerSid == L"S-1-5-18" || ownerSid == L"S-1-5-32-544");
}

StatusLookup LookUpWatcherStatus() {
  StatusLookup lookup;
  UniqueKernelHandle mapping(OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, kStatusName));
  if (!mapping) return lookup;
  lookup.owner = ObjectOwner(mapping.get());
  if (!IsTrustedStatusOwner(lookup.owner, CurrentUser())) {
    lookup.untrusted = true;
    return lookup;
  }
  View view(mapping.get(), FILE_MAP_READ);
  if (!view.block()) return lookup;
  const StatusBlock block = *view.block();
  if (block.magic != kMagic) return lookup;
  WatcherInfo info;
  info.pid = block.pid;
  info.started = block.started;
  info.version.assign(block.version, wcsnlen(block.version, kVersionChars));
  lookup.watcher = info;
  return lookup;
}

std::optional<WatcherInfo> ReadWatcherStatus() { return LookUpWatcherStatus().watcher; }
