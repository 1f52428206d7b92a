// The target file: staging the picture into the Pictures folder, "--extract", and the re-check on disk.
#pragma once

#include <string>
#include <vector>

#include "wallpaper/picture_source.h"

inline constexpr wchar_t kStagedFileName[] = L"OKAVU-wallpaper.png";
inline constexpr wchar_t kVerdictCannotOpen[] = L"无法打开";

// The user's Pictures folder, or empty.
std::wstring StageDir();

// Writes data to path unless a file of the same size is there and force is off. On success
// target = path. Reports on the console and logs a write failure.
bool StageBytes(const std::vector<unsigned char>& data, const std::wstring& path, bool force, std::wstring& target);

// Skip rule: an existing file whose size could be read (sized) and equals the data's size is kept
// unless force is set. Only the size is compared, never the content.
bool KeepExistingFile(bool sized, unsigned long long existingSize, unsigned long long dataSize, bool force);

// Decides and writes the target file; false means exit code 5 (the reason has been written).
bool StagePicture(const PictureSource& picture, const std::wstring& extractPath, bool force,
                  const std::wstring& stageDir, std::wstring& target);

// The re-check's verdict: "无法打开" when the file did not open, "数据太短" below 4 bytes read
// (count), otherwise the sniffed format of the bytes read.
const wchar_t* StagedFileVerdict(bool opened, const unsigned char* head, unsigned long count);

// Reads the first bytes of the target back; false means exit code 5.
bool VerifyStagedFile(const std::wstring& target);
