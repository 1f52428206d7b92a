// The picture: where it comes from (argument, embedded resource, fallback file) and its format.
#pragma once

#include <string>
#include <vector>

#include "support/result.h"

struct PictureSource {
  std::vector<unsigned char> bytes;  // the whole picture, a private copy
  std::wstring label;                // full path of a file, or the resource label for messages
  bool fromResource = false;         // a resource picture cannot be used in place
};

inline constexpr wchar_t kPictureResourceName[] = L"OKAVU_PNG";
inline constexpr wchar_t kFallbackPictureName[] = L"OKAVU.png";

// Format names; callers compare the returned text.
inline constexpr wchar_t kFormatBmp[] = L"BMP";
inline constexpr wchar_t kFormatJpeg[] = L"JPEG";
inline constexpr wchar_t kFormatPng[] = L"PNG";
inline constexpr wchar_t kFormatGif[] = L"GIF";
inline constexpr wchar_t kFormatTiff[] = L"TIFF";
inline constexpr wchar_t kFormatUnknown[] = L"未知格式";
inline constexpr wchar_t kFormatTooShort[] = L"数据太短";

// Looks at no more than the first 4 bytes; never fails.
const wchar_t* SniffFormatBytes(const unsigned char* data, unsigned long long size);

// True when the format name is one the wallpaper accepts (not unknown, not too short).
bool IsPictureFormat(const wchar_t* format);

// Width and height from a PNG whose first chunk is IHDR (at least 24 bytes); false for anything else.
bool PngDimensions(const unsigned char* data, unsigned long long size, unsigned& width, unsigned& height);

// The label of the embedded picture for messages: exe 内嵌资源 "name".
std::wstring ResourceLabel(const wchar_t* name);

// Finds and reads the picture (argument, embedded resource, fallback file) and reports where it came
// from. A failure (no usable picture, exit code 2) has been reported.
Result<PictureSource> LoadPicture(const std::wstring& picturePath);

// Sniffs the picture's format and reports it, with the dimensions of a PNG. A failure (not a format
// the wallpaper accepts, exit code 3) has been reported.
Status CheckPictureFormat(const PictureSource& picture);
