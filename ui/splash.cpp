#include "ui/splash.h"

#include <shlobj.h>
#include <wincodec.h>
#include <wininet.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "app/com_out.h"
#include "app/data_folder.h"
#include "app/files.h"
#include "app/messages.h"
#include "config/serverlist_sources.h"
#include "endpoints.h"
#include "net/http.h"
#include "net/text.h"
#include "ui/font.h"
#include "ui/gdiplus_keep.h"
#include "ui/image_type.h"
#include "ui/paint.h"
#include "ui/ui_state.h"

using namespace Gdiplus;

namespace {

std::wstring ExeFolder() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring p = self;
  size_t slash = p.find_last_of(L'\\');
  return slash == std::wstring::npos ? L"." : p.substr(0, slash);
}

void PaintSplash(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT rc;
  GetClientRect(hwnd, &rc);
  int w = rc.right, h = rc.bottom;
  PaintViaMemoryBitmap(dc, w, h, [&](HDC mem) {
    {
      Graphics g(mem);
      g.SetSmoothingMode(SmoothingModeAntiAlias);
      g.SetTextRenderingHint(TextRenderingHintAntiAliasGridFit);
      GraphicsPath path;
      AddRoundRect(path, 0, Scaled(10), w, h);
      LinearGradientBrush fill(Rect(0, 0, w, h), Color(255, 12, 22, 50), Color(255, 4, 10, 28),
                               LinearGradientModeVertical);
      g.FillPath(&fill, &path);
      Pen pen(Color(255, 80, 150, 230), float(Scaled(2)));
      g.DrawPath(&pen, &path);
      // Microsoft YaHei ships with Chinese Windows; elsewhere (Wine) the
      // embedded UI font stands in, through GDI+'s own private collection.
      const Font* font = SplashFont();
      StringFormat fmt;
      fmt.SetAlignment(StringAlignmentCenter);
      fmt.SetLineAlignment(StringAlignmentCenter);
      fmt.SetFormatFlags(StringFormatFlagsNoWrap);
      SolidBrush text(Color(255, 200, 220, 255));
      if (font)
        g.DrawString(UiText(u8"正在加载网络资源，请稍候...").c_str(), -1, font, RectF(0, 0, float(w), float(h)), &fmt,
                     &text);
    }
  });
  EndPaint(hwnd, &ps);
}

LRESULT CALLBACK SplashProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: PaintSplash(hwnd); return 0;
    case WM_ERASEBKGND: return 1;
    default: return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

Image* DecodeWithImagingComponent(const std::wstring& path) {
  auto create = [](REFCLSID clsid) {
    return ComOut<IWICImagingFactory>([&](IWICImagingFactory** out) {
      return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              reinterpret_cast<void**>(out));
    });
  };
  IWICImagingFactory* factory = create(CLSID_WICImagingFactory2);
  if (!factory) factory = create(CLSID_WICImagingFactory);
  if (!factory) return nullptr;
  Image* result = nullptr;
  IWICBitmapDecoder* decoder = ComOut<IWICBitmapDecoder>([&](IWICBitmapDecoder** out) {
    return factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, out);
  });
  IWICBitmapFrameDecode* frame =
      decoder ? ComOut<IWICBitmapFrameDecode>([&](IWICBitmapFrameDecode** out) { return decoder->GetFrame(0, out); })
              : nullptr;
  IWICFormatConverter* converter =
      frame
          ? ComOut<IWICFormatConverter>([&](IWICFormatConverter** out) { return factory->CreateFormatConverter(out); })
          : nullptr;
  UINT w = 0, h = 0;
  if (converter &&
      SUCCEEDED(converter->Initialize(frame, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                      WICBitmapPaletteTypeCustom)) &&
      SUCCEEDED(converter->GetSize(&w, &h)) && w > 0 && w <= 16384 && h > 0 && h <= 16384 &&
      static_cast<unsigned long long>(w) * h * 4 <= 268435456ull) {
    // Up to 256 MB: in a 32-bit process that can fail, and a failure must
    // not end the launcher at every start (the image is cached).
    const size_t bytes = static_cast<size_t>(w) * h * 4;
    std::unique_ptr<BYTE[]> pixels(new (std::nothrow) BYTE[bytes]);
    if (pixels && SUCCEEDED(converter->CopyPixels(nullptr, w * 4, static_cast<UINT>(bytes), pixels.get()))) {
      Bitmap* bitmap = KeepIfOk(new Bitmap(static_cast<INT>(w), static_cast<INT>(h), PixelFormat32bppARGB));
      BitmapData data;
      Rect all(0, 0, static_cast<INT>(w), static_cast<INT>(h));
      if (bitmap && bitmap->LockBits(&all, ImageLockModeWrite, PixelFormat32bppARGB, &data) == Ok) {
        for (UINT y = 0; y < h; ++y)
          std::memcpy(static_cast<BYTE*>(data.Scan0) + static_cast<size_t>(y) * data.Stride,
                      pixels.get() + static_cast<size_t>(y) * w * 4, w * 4);
        bitmap->UnlockBits(&data);
        result = bitmap;
      } else {
        delete bitmap;
      }
    }
  }
  if (converter) converter->Release();
  if (frame) frame->Release();
  if (decoder) decoder->Release();
  factory->Release();
  return result;
}

}  // namespace

bool RegisterSplashClass(HINSTANCE instance) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = SplashProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = kSplashClass;
  return RegisterClassW(&wc) != 0;
}

HWND CreateSplashWindow(HINSTANCE instance) {
  RECT r = {0, 0, Scaled(420), Scaled(80)};
  AdjustWindowRectForScale(&r);
  int w = r.right - r.left, h = r.bottom - r.top;
  int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  HWND hwnd =
      CreateWindowExW(WS_EX_LAYERED, kSplashClass, L"", WS_POPUP, x, y, w, h, nullptr, nullptr, instance, nullptr);
  if (hwnd) SetLayeredWindowAttributes(hwnd, 0, 240, LWA_ALPHA);
  return hwnd;
}

std::wstring DownloadBackground(const std::string& url, const std::wstring& cacheFolder) {
  const std::wstring base = cacheFolder + L"\\wow_bg";
  const std::wstring tmp = base + L".dat";
  OpenedUrl opened;
  if (!OpenUrl(url, nullptr, {30000, 0, 30000}, &opened)) {
    if (IsNetTimeoutError(opened.error)) PostNetTimeout(nullptr);
    return {};
  }
  FILE* f = _wfopen(tmp.c_str(), L"wb");
  if (!f) return {};
  size_t total = 0;
  char chunk[8192];
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(opened.request.get(), chunk, sizeof chunk, &got) || got == 0) break;
    std::fwrite(chunk, 1, got, f);
    total += got;
    if (total >= kBackgroundMaxBytes) break;
  }
  std::fclose(f);
  // Whatever body arrived is judged by its first bytes, not by the status.
  ImageKind type = ImageKind::None;
  if (FILE* in = _wfopen(tmp.c_str(), L"rb")) {
    unsigned char head[12];
    size_t n = std::fread(head, 1, sizeof head, in);
    std::fclose(in);
    type = SniffImageType(head, n);
  }
  if (type == ImageKind::None || total < kBackgroundMinBytes) {
    DeleteFileW(tmp.c_str());
    return {};
  }
  std::wstring final = base + Utf8ToWide(ImageExtension(type));
  DeleteFileW(final.c_str());
  if (!MoveFileW(tmp.c_str(), final.c_str())) {
    DeleteFileW(tmp.c_str());
    return {};
  }
  return final;
}

std::wstring FindCachedBackground(const std::wstring& folder) {
  for (const wchar_t* ext : {L".jpg", L".png", L".webp"}) {
    std::wstring p = folder + L"\\wow_bg" + ext;
    if (FileExists(p)) return p;
  }
  return {};
}

void LoaderThread() {
  BackgroundImagePath.clear();
  const std::wstring cache = LauncherDataFolder();
  if (!cache.empty()) {
    BackgroundImagePath = DownloadBackground(kBackgroundImageUrl, cache);
    if (BackgroundImagePath.empty()) BackgroundImagePath = FindCachedBackground(cache);
    if (BackgroundImagePath.empty()) BackgroundImagePath = FindCachedBackground(ExeFolder());
  }
  LoadServerList();
}

Image* LoadBackgroundImage(const std::wstring& path) {
  if (path.empty()) return nullptr;
  Image* image = KeepIfOk(Image::FromFile(path.c_str()));
  if (image && image->GetWidth() > 0) return image;
  delete image;
  return DecodeWithImagingComponent(path);
}

void ReleaseBackgroundCache() {
  if (BackgroundCache.dc) {
    if (BackgroundCache.previous) SelectObject(BackgroundCache.dc, BackgroundCache.previous);
    if (BackgroundCache.bitmap) DeleteObject(BackgroundCache.bitmap);
    DeleteDC(BackgroundCache.dc);
  }
  BackgroundCache = BackgroundCacheData{};
}

void BuildBackgroundCache(HWND window) {
  if (!BackgroundImage || BackgroundImage->GetLastStatus() != Ok) return;
  HDC dc = GetDC(window);
  ReleaseBackgroundCache();
  HDC mem = CreateCompatibleDC(dc);
  HBITMAP bmp = mem ? CreateCompatibleBitmap(dc, MainWindowWidth, MainWindowHeight) : nullptr;
  if (!bmp) {
    if (mem) DeleteDC(mem);
    ReleaseDC(window, dc);
    return;
  }
  BackgroundCache.dc = mem;
  BackgroundCache.bitmap = bmp;
  BackgroundCache.previous = SelectObject(mem, bmp);
  {
    Graphics g(mem);
    g.SetInterpolationMode(InterpolationModeHighQualityBicubic);
    g.DrawImage(BackgroundImage, 0, 0, MainWindowWidth, MainWindowHeight);
    DrawBackingPlates(g);
  }
  BackgroundCache.width = MainWindowWidth;
  BackgroundCache.height = MainWindowHeight;
  ReleaseDC(window, dc);
}
