// The target file: where the picture is written, the skip rule, in-place use and the re-check on disk.
#include "wallpaper/staging.h"

#include <windows.h>

#include "support/console.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/report.h"
#include "support/system_folders.h"

namespace {

constexpr DWORD kMaxWriteChunk = 0x10000000;  // 256 MiB per WriteFile call
constexpr DWORD kVerifyHeadBytes = 16;

// Size of an existing regular file, opened for reading only; fails when it cannot be opened or sized.
Result<unsigned long long> ExistingFileSize(const std::wstring& path) {
  if (!IsExistingFile(path)) return Status::Failure(ERROR_FILE_NOT_FOUND);
  UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Status::LastError();
  LARGE_INTEGER li{};
  if (!GetFileSizeEx(file.get(), &li)) return Status::LastError();
  if (li.QuadPart < 0) return Status::Failure();
  return static_cast<unsigned long long>(li.QuadPart);
}

// Truncates or creates path and writes all of data; fails with the Windows error of the failing call.
Status WriteWholeFile(const std::vector<unsigned char>& data, const std::wstring& path) {
  // No sharing: nobody may read a half-written wallpaper while we write it.
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Status::LastError();
  size_t done = 0;
  while (done < data.size()) {
    size_t left = data.size() - done;
    DWORD chunk = left > kMaxWriteChunk ? kMaxWriteChunk : static_cast<DWORD>(left);
    DWORD written = 0;
    BOOL ok = WriteFile(file.get(), data.data() + done, chunk, &written, nullptr);
    DWORD error = GetLastError();
    if (!ok) return Status::Failure(error);
    if (written == 0) return Status::Failure(error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT);
    done += written;
  }
  return Status::Success();
}

}  // namespace

std::wstring StageDir() { return KnownFolderPath(FOLDERID_Pictures); }

bool KeepExistingFile(bool sized, unsigned long long existingSize, unsigned long long dataSize, bool force) {
  return sized && existingSize == dataSize && !force;
}

Result<std::wstring> StageBytes(const std::vector<unsigned char>& data, const std::wstring& path, bool force) {
  const Result<unsigned long long> existing = ExistingFileSize(path);
  if (KeepExistingFile(existing.ok(), existing.value, data.size(), force)) {
    Info(L"已存在同样大小的文件，跳过重写：%ls", path.c_str());
    return path;
  }
  const Status written = WriteWholeFile(data, path);
  if (!written) {
    Report(ConsoleLevel::kWarn, L"写入失败 (err=%lu)：%ls", LogLevel::kError, L"写入墙纸文件失败 (err=%lu)：%ls",
           written.error(), path.c_str());
    return written;
  }
  Ok(L"图片已落盘：%ls（%lu 字节）", path.c_str(), static_cast<unsigned long>(data.size()));
  return path;
}

Result<TargetFile> StagePicture(const PictureSource& picture, const std::wstring& extractPath, bool force,
                                const std::wstring& stageDir) {
  // An export goes where the user asked or nowhere: no fall-back to the Pictures folder.
  if (!extractPath.empty()) {
    Result<std::wstring> extracted = StageBytes(picture.bytes, FullPath(extractPath), force);
    if (!extracted) return extracted.status;
    return TargetFile{extracted.value, true};
  }
  if (!stageDir.empty()) {
    Result<std::wstring> staged = StageBytes(picture.bytes, Join(stageDir, kStagedFileName), force);
    if (staged) return TargetFile{staged.value, true};
    Warn(L"图片目录写入失败，改为原地使用源文件");
  } else {
    Warn(L"取不到图片目录，改为原地使用源文件");
  }
  // In place: only a picture that came from a file still lying on disk can be shown from there.
  if (picture.fromResource || !IsExistingFile(picture.label)) {
    Fail(L"没有可用的墙纸文件路径，无法继续");
    return Status::Failure(ERROR_FILE_NOT_FOUND);
  }
  return TargetFile{picture.label, false};
}

const wchar_t* StagedFileVerdict(bool opened, const unsigned char* head, unsigned long count) {
  if (!opened) return kVerdictCannotOpen;
  if (count < 4) return kFormatTooShort;
  return SniffFormatBytes(head, count);
}

Status VerifyStagedFile(const std::wstring& target) {
  if (!IsExistingFile(target)) return Status::Success();
  unsigned char head[kVerifyHeadBytes] = {};
  DWORD got = 0;
  UniqueFile file(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  bool opened = static_cast<bool>(file);
  if (opened) {
    // One read; only the count it reports matters, a failed read counts as nothing read.
    if (!ReadFile(file.get(), head, kVerifyHeadBytes, &got, nullptr)) got = 0;
    file.reset();
  }
  const wchar_t* verdict = StagedFileVerdict(opened, head, got);
  if (!IsPictureFormat(verdict)) {
    Fail(L"磁盘上的目标文件不是有效位图：%ls（%ls）", target.c_str(), verdict);
    return Status::Failure(ERROR_BAD_FORMAT);
  }
  Ok(L"磁盘文件复查通过：%ls（%ls）", target.c_str(), verdict);
  return Status::Success();
}
