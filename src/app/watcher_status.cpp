// The published watcher status.
#include "app/watcher_status.h"

#include <cwchar>

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

}  // namespace

Result<PublishedStatus> PublishedStatus::Publish(const WatcherInfo& info) {
  PublishedStatus published;
  published.mapping_.reset(
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(StatusBlock), kStatusName));
  if (!published.mapping_) return Status::LastError();
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

std::optional<WatcherInfo> ReadWatcherStatus() {
  UniqueKernelHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, kStatusName));
  if (!mapping) return std::nullopt;
  View view(mapping.get(), FILE_MAP_READ);
  if (!view.block()) return std::nullopt;
  const StatusBlock block = *view.block();
  if (block.magic != kMagic) return std::nullopt;
  WatcherInfo info;
  info.pid = block.pid;
  info.started = block.started;
  info.version.assign(block.version, wcsnlen(block.version, kVersionChars));
  return info;
}
