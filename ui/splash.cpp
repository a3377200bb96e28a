#include "ui/splash.h"

#include <wincodec.h>

#include <cstring>
#include <memory>
#include <new>

#include "app/com_out.h"
#include "net/text.h"
#include "ui/font.h"
#include "ui/gdiplus_keep.h"
#include "ui/paint.h"
#include "ui/ui_state.h"

using namespace Gdiplus;

namespace {

// The splash's close mark, top right: a player who does not want to wait
// closes the splash as any window, and the launcher ends.
RECT CloseMarkRect(int w) { return RECT{w - Scaled(30), Scaled(4), w - Scaled(6), Scaled(28)}; }

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
      if (font) {
        g.DrawString(UiText(u8"正在加载网络资源，请稍候...").c_str(), -1, font, RectF(0, 0, float(w), float(h)), &fmt,
                     &text);
        const RECT x = CloseMarkRect(w);
        g.DrawString(L"\u00d7", -1, font,
                     RectF(float(x.left), float(x.top), float(x.right - x.left), float(x.bottom - x.top)), &fmt, &text);
      }
    }
  });
  EndPaint(hwnd, &ps);
}

LRESULT CALLBACK SplashProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: PaintSplash(hwnd); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_KEYDOWN:
      if (wp == VK_ESCAPE) PostMessageW(hwnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_LBUTTONUP: {
      RECT client;
      GetClientRect(hwnd, &client);
      const RECT x = CloseMarkRect(client.right);
      const POINT at = {static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
      if (PtInRect(&x, at)) PostMessageW(hwnd, WM_CLOSE, 0, 0);
      return 0;
    }
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
