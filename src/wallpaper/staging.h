// The target file: staging the picture into the Pictures folder, "--extract", and the re-check on disk.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"
#include "wallpaper/picture_source.h"

inline constexpr wchar_t kStagedFileName[] = L"OKAVU-wallpaper.png";
inline constexpr wchar_t kVerdictCannotOpen[] = L"无法打开";

// The user's Pictures folder, or empty.
std::wstring StageDir();

// Writes data to path unless a file of the same size is there and force is off; gives path, the
// file the desktop can show. Reports on the console and logs a write failure.
Result<std::wstring> StageBytes(const std::vector<unsigned char>& data, const std::wstring& path, bool force);

// Skip rule: an existing file whose size could be read (sized) and equals the data's size is kept
// unless force is set. Only the size is compared, never the content.
bool KeepExistingFile(bool sized, unsigned long long existingSize, unsigned long long dataSize, bool force);

// The file the desktop is to show, and whether it is the run's own: the staged file or the "--extract"
// file, which the run writes, or the source picture shown where it lies, which belongs to the user.
struct TargetFile {
  std::wstring path;
  bool ownFile = false;
};

// Decides and writes the target file; a failure (exit code 5) has been reported.
Result<TargetFile> StagePicture(const PictureSource& picture, const std::wstring& extractPath, bool force,
                                const std::wstring& stageDir);

// The re-check's verdict: "无法打开" when the file did not open, "数据太短" below 4 bytes read
// (count), otherwise the sniffed format of the bytes read.
const wchar_t* StagedFileVerdict(bool opened, const unsigned char* head, unsigned long count);

// Reads the first bytes of the target back; a failure (exit code 5) has been reported.
Status VerifyStagedFile(const std::wstring& target);
