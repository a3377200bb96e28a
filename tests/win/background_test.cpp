// The background image download: type by content, the size limits and the
// choice among cached copies.
#include "config/startup_loader.h"

#include <gtest/gtest.h>

#include <string>

#include "support.h"
#include "ui/splash.h"

using namespace testing_support;

namespace {

const std::string kUrl = std::string(kSite) + "/images/wowbg.jpg";

std::string Jpeg(size_t n) { return "\xFF\xD8\xFF\xE0" + PatternBytes(n - 4, 9); }
std::string Png(size_t n) { return "\x89PNG\r\n\x1a\n" + PatternBytes(n - 8, 8); }
std::string Webp(size_t n) { return "RIFF" + std::string("\x10\x00\x00\x00", 4) + "WEBP" + PatternBytes(n - 12, 7); }

class Background : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearAllServers();
    MakeDirs(Www(L"site", L"images"));
  }
  void Serve(const std::string& body) { WriteFileBytes(Www(L"site", L"images\\wowbg.jpg"), body); }
  ScratchDir cache_{L"bg-cache"};
};

TEST_F(Background, TypeComesFromTheContentNotTheName) {
  struct {
    std::string body;
    const wchar_t* stored;
  } cases[] = {{Jpeg(5000), L"wow_bg.jpg"}, {Png(5000), L"wow_bg.png"}, {Webp(5000), L"wow_bg.webp"}};
  for (const auto& c : cases) {
    Serve(c.body);
    EXPECT_EQ(DownloadBackground(kUrl, cache_.path()), cache_ / c.stored);
    EXPECT_EQ(ReadFileBytes(cache_ / c.stored), c.body);
    EXPECT_FALSE(Exists(cache_ / L"wow_bg.dat"));
  }
  Serve("<html>not an image</html>" + std::string(200, ' '));
  EXPECT_EQ(DownloadBackground(kUrl, cache_.path()), L"");
  EXPECT_FALSE(Exists(cache_ / L"wow_bg.dat"));
}

TEST_F(Background, NinetyNineBytesAreNoImageOneHundredAre) {
  Serve(Jpeg(99));
  EXPECT_EQ(DownloadBackground(kUrl, cache_.path()), L"");
  EXPECT_FALSE(Exists(cache_ / L"wow_bg.jpg"));
  Serve(Jpeg(100));
  EXPECT_EQ(DownloadBackground(kUrl, cache_.path()), cache_ / L"wow_bg.jpg");
}

TEST_F(Background, OnlyTheFirstTwoMebibytesAreStored) {
  Serve(Jpeg(5 * 1048576));
  ASSERT_EQ(DownloadBackground(kUrl, cache_.path()), cache_ / L"wow_bg.jpg");
  size_t stored = ReadFileBytes(cache_ / L"wow_bg.jpg").size();
  EXPECT_GE(stored, 2097152u);
  EXPECT_LT(stored, 2097152u + 8192u) << "reading stops with the chunk that reaches the limit";
}

TEST_F(Background, CachedCopiesArePreferredJpegThenPngThenWebp) {
  EXPECT_EQ(FindCachedBackground(cache_.path()), L"");
  WriteFileBytes(cache_ / L"wow_bg.webp", Webp(500));
  EXPECT_EQ(FindCachedBackground(cache_.path()), cache_ / L"wow_bg.webp");
  WriteFileBytes(cache_ / L"wow_bg.png", Png(500));
  EXPECT_EQ(FindCachedBackground(cache_.path()), cache_ / L"wow_bg.png");
  WriteFileBytes(cache_ / L"wow_bg.jpg", Jpeg(500));
  EXPECT_EQ(FindCachedBackground(cache_.path()), cache_ / L"wow_bg.jpg");
}

TEST_F(Background, ShippedImageDecodes) {
  std::wstring shipped = Www(L"..", L"wow_bg.jpg");
  Gdiplus::GdiplusStartupInput in;
  ULONG_PTR token = 0;
  ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &in, nullptr), Gdiplus::Ok);
  Gdiplus::Image* img = LoadBackgroundImage(shipped);
  ASSERT_NE(img, nullptr) << "the build puts wow_bg.jpg beside the executable";
  EXPECT_EQ(img->GetWidth(), 840u);
  delete img;
  EXPECT_EQ(LoadBackgroundImage(Www(L"site", L"serverlist-missing.txt")), nullptr);
  Gdiplus::GdiplusShutdown(token);
}

}  // namespace
