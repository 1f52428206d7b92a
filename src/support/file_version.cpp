// Version resources over version.dll.
#include "support/file_version.h"

#include <windows.h>

#include <vector>

#include "support/system_dll.h"
#include "support/text.h"

Result<std::wstring> PeFileVersionString(const std::wstring& path) {
  const VersionApi& api = Version();
  if (api.loadError != ERROR_SUCCESS) return Status::Failure(api.loadError);
  DWORD handle = 0;
  DWORD bytes = api.getFileVersionInfoSize(path.c_str(), &handle);
  if (bytes == 0) return Status::LastError();
  std::vector<unsigned char> block(bytes, 0);
  if (!api.getFileVersionInfo(path.c_str(), 0, bytes, block.data())) return Status::LastError();
  void* translation = nullptr;
  UINT length = 0;
  if (!api.verQueryValue(block.data(), L"\\VarFileInfo\\Translation", &translation, &length) || !translation ||
      length < 4) {
    return Status::Failure(ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  const WORD* pair = static_cast<const WORD*>(translation);
  wchar_t subBlock[128];
  FormatInto(subBlock, 128, L"\\StringFileInfo\\%04x%04x\\FileVersion", pair[0], pair[1]);
  void* text = nullptr;
  if (!api.verQueryValue(block.data(), subBlock, &text, &length) || !text || length == 0) {
    return Status::Failure(ERROR_RESOURCE_NAME_NOT_FOUND);
  }
  // The length counts characters; a value that claims more than the block holds, or has no terminator
  // within its length, is read no further than that.
  const wchar_t* chars = static_cast<const wchar_t*>(text);
  const unsigned char* end = block.data() + block.size();
  const unsigned char* start = static_cast<const unsigned char*>(text);
  if (start < block.data() || start >= end) return Status::Failure(ERROR_RESOURCE_NAME_NOT_FOUND);
  const size_t room = static_cast<size_t>(end - start) / sizeof(wchar_t);
  const size_t limit = length < room ? length : room;
  size_t count = 0;
  while (count < limit && chars[count] != L'\0') ++count;
  std::wstring version(chars, count);
  if (version.empty()) return Status::Failure(ERROR_RESOURCE_NAME_NOT_FOUND);
  return version;
}
