// The picture: the three sources in their fixed order, format sniffing and the PNG dimension line.
#include "wallpaper/picture_source.h"

#include <windows.h>

#include <cwchar>
#include <initializer_list>
#include <utility>

#include "support/console.h"
#include "support/files.h"
#include "support/paths.h"

namespace {

constexpr unsigned long long kPngIhdrEnd = 24;  // signature, chunk length, "IHDR", width, height

unsigned ReadBigEndian32(const unsigned char* p) {
  return (static_cast<unsigned>(p[0]) << 24) | (static_cast<unsigned>(p[1]) << 16) |
         (static_cast<unsigned>(p[2]) << 8) | static_cast<unsigned>(p[3]);
}

// The RT_RCDATA picture of our own module, copied out of the mapped image. Fails after a warning.
Result<PictureSource> LoadEmbeddedPicture() {
  HMODULE self = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(self, kPictureResourceName, RT_RCDATA);
  if (!found) {
    DWORD error = GetLastError();
    Warn(L"exe 内找不到资源 \"%ls\" (RCDATA)，GetLastError=%lu", kPictureResourceName, error);
    return Status::Failure(error);
  }
  DWORD size = SizeofResource(self, found);
  if (size == 0) {
    Warn(L"资源大小为 0");
    return Status::Failure();
  }
  HGLOBAL loaded = LoadResource(self, found);
  if (!loaded) {
    DWORD error = GetLastError();
    Warn(L"LoadResource 失败，GetLastError=%lu", error);
    return Status::Failure(error);
  }
  const void* locked = LockResource(loaded);
  if (!locked) {
    DWORD error = GetLastError();
    Warn(L"LockResource 失败，GetLastError=%lu", error);
    return Status::Failure(error);
  }
  const unsigned char* first = static_cast<const unsigned char*>(locked);
  PictureSource picture;
  picture.bytes.assign(first, first + size);
  Ok(L"已从 exe 内部读取出嵌入图片：%lu 字节", static_cast<unsigned long>(size));
  picture.label = ResourceLabel(kPictureResourceName);
  picture.fromResource = true;
  return picture;
}

// A picture file read whole, labelled with its full path; failMessage (with the path) when it gives no data.
Result<PictureSource> LoadPictureFile(const std::wstring& fullPath, const wchar_t* failMessage) {
  Result<std::vector<unsigned char>> bytes = ReadAllBytes(fullPath);
  if (!bytes) {
    Fail(failMessage, fullPath.c_str());
    return bytes.status;
  }
  PictureSource picture;
  picture.bytes = std::move(bytes.value);
  picture.label = fullPath;
  return picture;
}

}  // namespace

const wchar_t* SniffFormatBytes(const unsigned char* data, unsigned long long size) {
  if (size < 4) return kFormatTooShort;
  // The first byte picks exactly one test; a failed test is not followed by another.
  switch (data[0]) {
    case 0x42:
      return data[1] == 0x4D ? kFormatBmp : kFormatUnknown;
    case 0xFF:
      return data[1] == 0xD8 ? kFormatJpeg : kFormatUnknown;
    case 0x89:
      return data[1] == 0x50 && data[2] == 0x4E && data[3] == 0x47 ? kFormatPng : kFormatUnknown;
    case 0x47:
      return data[1] == 0x49 && data[2] == 0x46 ? kFormatGif : kFormatUnknown;
    case 0x49:
      return data[1] == 0x49 && data[2] == 0x2A ? kFormatTiff : kFormatUnknown;
    case 0x4D:
      return data[1] == 0x4D && data[2] == 0x00 && data[3] == 0x2A ? kFormatTiff : kFormatUnknown;
    default:
      return kFormatUnknown;
  }
}

bool IsPictureFormat(const wchar_t* format) {
  for (const wchar_t* known : {kFormatBmp, kFormatJpeg, kFormatPng, kFormatGif, kFormatTiff}) {
    if (std::wcscmp(format, known) == 0) return true;
  }
  return false;
}

bool PngDimensions(const unsigned char* data, unsigned long long size, unsigned& width, unsigned& height) {
  if (std::wcscmp(SniffFormatBytes(data, size), kFormatPng) != 0 || size < kPngIhdrEnd) return false;
  if (data[12] != 'I' || data[13] != 'H' || data[14] != 'D' || data[15] != 'R') return false;
  width = ReadBigEndian32(data + 16);
  height = ReadBigEndian32(data + 20);
  return true;
}

std::wstring ResourceLabel(const wchar_t* name) { return std::wstring(L"exe 内嵌资源 \"") + name + L"\""; }

Result<PictureSource> LoadPicture(const std::wstring& picturePath) {
  Result<PictureSource> loaded;
  if (!picturePath.empty()) {
    // An explicit picture replaces the resource entirely; it is tested as the user wrote it.
    if (!IsExistingFile(picturePath)) {
      Fail(L"文件不存在：%ls", picturePath.c_str());
      return Status::Failure(ERROR_FILE_NOT_FOUND);
    }
    loaded = LoadPictureFile(FullPath(picturePath), L"读不出文件或文件为空：%ls");
  } else {
    loaded = LoadEmbeddedPicture();
    if (!loaded) {
      // The fallback is looked up in the working directory, not next to the executable.
      if (!IsExistingFile(kFallbackPictureName)) {
        Fail(L"既没有内嵌图片，也找不到 %ls；请用 build.bat 重新编译", kFallbackPictureName);
        return Status::Failure(ERROR_FILE_NOT_FOUND);
      }
      Info(L"回退到外部文件 %ls", kFallbackPictureName);
      loaded = LoadPictureFile(FullPath(kFallbackPictureName), L"读不出 %ls");
    }
  }
  if (loaded) {
    Info(L"图片来源 = %ls（%lu 字节）", loaded.value.label.c_str(),
         static_cast<unsigned long>(loaded.value.bytes.size()));
  }
  return loaded;
}

Status CheckPictureFormat(const PictureSource& picture) {
  const wchar_t* format = SniffFormatBytes(picture.bytes.data(), picture.bytes.size());
  Info(L"数据格式 = %ls", format);
  if (!IsPictureFormat(format)) {
    Fail(L"数据不是 Windows 支持的位图格式（支持 BMP/JPEG/PNG/GIF/TIFF；不支持 WebP/HEIC/AVIF）");
    return Status::Failure(ERROR_BAD_FORMAT);
  }
  unsigned width = 0;
  unsigned height = 0;
  if (PngDimensions(picture.bytes.data(), picture.bytes.size(), width, height)) {
    Info(L"图片尺寸 = %ux%u", width, height);
  }
  return Status::Success();
}
