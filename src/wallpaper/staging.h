// The target file: staging the picture into the Pictures folder, "--extract", and the re-check on disk.
#pragma once

#include <string>
#include <vector>

#include "wallpaper/picture_source.h"

inline constexpr wchar_t kStagedFileName[] = L"OKAVU-wallpaper.png";

// The user's Pictures folder, or empty.
std::wstring StageDir();

// Writes data to path unless a file of the same size is there and force is off. On success
// target = path. Reports on the console and logs a write failure.
bool StageBytes(const std::vector<unsigned char>& data, const std::wstring& path, bool force, std::wstring& target);

// Decides and writes the target file; false means exit code 5 (the reason has been written).
bool StagePicture(const PictureSource& picture, const std::wstring& extractPath, bool force,
                  const std::wstring& stageDir, std::wstring& target);

// Reads the first bytes of the target back; false means exit code 5.
bool VerifyStagedFile(const std::wstring& target);
