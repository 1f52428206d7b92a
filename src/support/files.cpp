// Whole files.
#include "support/files.h"

#include <windows.h>

#include <cstring>
#include <new>

#include "support/handles.h"

namespace {

constexpr DWORD kMaxChunk = 0x10000000;  // 256 MiB per ReadFile call

}  // namespace

bool IsExistingFile(const std::wstring& path) {
  DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Result<std::vector<unsigned char>> ReadAllBytes(const std::wstring& path) {
  UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Status::LastError();
  LARGE_INTEGER li{};
  if (!GetFileSizeEx(file.get(), &li)) return Status::LastError();
  if (li.QuadPart <= 0) return Status::Failure();
  const unsigned long long total = static_cast<unsigned long long>(li.QuadPart);
  std::vector<unsigned char> data;
  try {
    if (total > data.max_size()) return Status::Failure(ERROR_NOT_ENOUGH_MEMORY);
    data.resize(static_cast<size_t>(total));
  } catch (const std::bad_alloc&) {
    return Status::Failure(ERROR_NOT_ENOUGH_MEMORY);
  }
  unsigned long long done = 0;
  while (done < total) {
    const unsigned long long left = total - done;
    const DWORD chunk = left > kMaxChunk ? kMaxChunk : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!ReadFile(file.get(), data.data() + done, chunk, &got, nullptr)) return Status::LastError();
    if (got == 0) return Status::Failure(ERROR_HANDLE_EOF);
    done += got;
  }
  return data;
}

Result<UniqueFile> HoldForReading(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return Status::LastError();
  return file;
}

Result<UniqueFile> HoldForMove(const std::wstring& path) {
  // Write access only so that the move can be flushed; nothing is written.
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Status::LastError();
  return file;
}

Status MoveHeldFile(HANDLE held, const std::wstring& target) {
  // FILE_RENAME_INFO ends in the new name; the structure is followed by the rest of it.
  const size_t nameBytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
  FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, target.c_str(), nameBytes);
  if (!SetFileInformationByHandle(held, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
    return Status::LastError();
  }
  if (!FlushFileBuffers(held)) return Status::LastError();
  return Status::Success();
}
