// The stand-in shell's picture: desktop values, layout, decoding and composition.
#include "desktop_picture.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <cwchar>

#include "support/files.h"
#include "support/registry.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";
constexpr int kStyleStretch = 2;
constexpr int kStyleFit = 6;
constexpr int kStyleFill = 10;
constexpr int kStyleSpan = 22;  // one monitor: the same as fill

int ReadDesktopNumber(const wchar_t* name) {
  return _wtoi(ReadRegistryText(HKEY_CURRENT_USER, kDesktopKey, name).c_str());
}

// The side that does not fill the screen, scaled with the other: a * b / c, at least 1.
int Scaled(int a, int b, int c) {
  const long long value = static_cast<long long>(a) * b / c;
  return value < 1 ? 1 : static_cast<int>(value);
}

// Decodes the file at its placement's size, or fails. The file is read whole first and decoded from
// memory: a decoder keeps its file open for as long as it decodes, and the program under test must be
// free to rewrite the wallpaper file meanwhile.
bool Decode(IWICImagingFactory* factory, const std::wstring& path, int screenWidth, int screenHeight,
            const DesktopValues& values, Pixels& placed, Placement& placement) {
  Result<std::vector<unsigned char>> bytes = ReadAllBytes(path);
  if (!bytes || bytes.value.size() > MAXDWORD) return false;
  ComPtr<IWICStream> stream;
  ComPtr<IWICBitmapDecoder> decoder;
  ComPtr<IWICBitmapFrameDecode> frame;
  UINT width = 0;
  UINT height = 0;
  if (FAILED(factory->CreateStream(&stream)) ||
      FAILED(stream->InitializeFromMemory(bytes.value.data(), static_cast<DWORD>(bytes.value.size()))) ||
      FAILED(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand, &decoder)) ||
      FAILED(decoder->GetFrame(0, &frame)) || FAILED(frame->GetSize(&width, &height)) || width == 0 || height == 0) {
    return false;
  }
  placement = PlaceWallpaper(static_cast<int>(width), static_cast<int>(height), screenWidth, screenHeight, values);
  ComPtr<IWICBitmapSource> source = frame;
  if (placement.width != static_cast<int>(width) || placement.height != static_cast<int>(height)) {
    ComPtr<IWICBitmapScaler> scaler;
    if (FAILED(factory->CreateBitmapScaler(&scaler)) ||
        FAILED(scaler->Initialize(frame.Get(), static_cast<UINT>(placement.width), static_cast<UINT>(placement.height),
                                  WICBitmapInterpolationModeFant))) {
      return false;
    }
    source = scaler;
  }
  ComPtr<IWICFormatConverter> converter;
  if (FAILED(factory->CreateFormatConverter(&converter)) ||
      FAILED(converter->Initialize(source.Get(), GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom))) {
    return false;
  }
  placed.width = placement.width;
  placed.height = placement.height;
  placed.data.assign(static_cast<size_t>(placed.width) * static_cast<size_t>(placed.height), 0);
  const UINT stride = static_cast<UINT>(placed.width) * 4;
  return SUCCEEDED(converter->CopyPixels(nullptr, stride, stride * static_cast<UINT>(placed.height),
                                         reinterpret_cast<BYTE*>(placed.data.data())));
}

}  // namespace

DesktopValues ReadDesktopValues() {
  DesktopValues values;
  values.wallpaper = ReadRegistryText(HKEY_CURRENT_USER, kDesktopKey, L"Wallpaper");
  values.style = ReadDesktopNumber(L"WallpaperStyle");
  values.tile = ReadDesktopNumber(L"TileWallpaper") != 0;
  return values;
}

Placement PlaceWallpaper(int pictureWidth, int pictureHeight, int screenWidth, int screenHeight,
                         const DesktopValues& values) {
  Placement p{pictureWidth, pictureHeight, 0, 0, false};
  // Which side meets the screen's edge: fit keeps the whole picture, fill covers the whole screen.
  const bool widthBinds =
      static_cast<long long>(screenWidth) * pictureHeight <= static_cast<long long>(screenHeight) * pictureWidth;
  switch (values.style) {
    case kStyleStretch:
      p.width = screenWidth;
      p.height = screenHeight;
      break;
    case kStyleFit:
    case kStyleFill:
    case kStyleSpan:
      if (widthBinds == (values.style == kStyleFit)) {
        p.width = screenWidth;
        p.height = Scaled(pictureHeight, screenWidth, pictureWidth);
      } else {
        p.height = screenHeight;
        p.width = Scaled(pictureWidth, screenHeight, pictureHeight);
      }
      break;
    default:
      // Centre, and any style the shell does not know; tiled when asked.
      if (values.tile) {
        p.tiled = true;
        return p;
      }
      break;
  }
  p.left = (screenWidth - p.width) / 2;
  p.top = (screenHeight - p.height) / 2;
  return p;
}

Pixels ComposeDesktop(int screenWidth, int screenHeight, std::uint32_t background, const Pixels& placed,
                      const Placement& placement) {
  Pixels screen;
  screen.width = screenWidth;
  screen.height = screenHeight;
  screen.data.assign(static_cast<size_t>(screenWidth) * static_cast<size_t>(screenHeight), background);
  if (placed.width <= 0 || placed.height <= 0) return screen;
  for (int y = 0; y < screenHeight; ++y) {
    const int sy = placement.tiled ? y % placed.height : y - placement.top;
    if (sy < 0 || sy >= placed.height) continue;
    for (int x = 0; x < screenWidth; ++x) {
      const int sx = placement.tiled ? x % placed.width : x - placement.left;
      if (sx < 0 || sx >= placed.width) continue;
      screen.data[static_cast<size_t>(y) * screenWidth + x] = placed.data[static_cast<size_t>(sy) * placed.width + sx];
    }
  }
  return screen;
}

Pixels DrawDesktop(const DesktopValues& values, int screenWidth, int screenHeight, std::uint32_t background) {
  Pixels placed;
  Placement placement;
  ComPtr<IWICImagingFactory> factory;
  const bool decoded =
      !values.wallpaper.empty() &&
      SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))) &&
      Decode(factory.Get(), values.wallpaper, screenWidth, screenHeight, values, placed, placement);
  if (!decoded) placed = Pixels{};
  return ComposeDesktop(screenWidth, screenHeight, background, placed, placement);
}
