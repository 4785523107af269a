// The picture file: PNG through GDI+ (wine's gdiplus.dll here), and the BMP written when
// GDI+ is not to be had, both read back byte by byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/win32/Win32Gdi.h"
#include "app/win32/Win32Picture.h"
#include "tests/support/temp_dir.h"

namespace tarnwell::win32 {
namespace {

constexpr int kWidth = 37;  // rows of 111 bytes: BMP pads them to 112
constexpr int kHeight = 23;

std::vector<std::uint8_t> ReadAll(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t BigEndian32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

std::uint32_t LittleEndian32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) | (std::uint32_t{b[at + 3]} << 24);
}

// Each pixel a colour of its own place, so that a row or a column out of place shows.
COLORREF ColourAt(int x, int y) { return RGB(x * 6, y * 10, (x + y) % 2 == 0 ? 40 : 200); }

UniqueBitmap Pattern() {
  MemoryCanvas canvas(nullptr, kWidth, kHeight);
  if (!canvas) return {};
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) ::SetPixel(canvas.Dc(), x, y, ColourAt(x, y));
  return canvas.TakeBitmap();
}

class Picture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bitmap_); }
  std::wstring Base(const char* name) const { return (dir_.Path() / name).wstring(); }

  testutil::TempDir dir_{testutil::kNonAsciiName};
  UniqueBitmap bitmap_ = Pattern();
};

TEST_F(Picture, IsAPngOfTheBitmapsSizeWhereGdiPlusIs) {
  std::wstring error;
  const std::wstring path = SaveBitmapPicture(bitmap_.get(), Base("History"), &error);
  ASSERT_EQ(path, Base("History") + L".png") << std::filesystem::path(error).string();
  const std::vector<std::uint8_t> png = ReadAll(path);
  ASSERT_GE(png.size(), 33u);
  const std::vector<std::uint8_t> signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_EQ(std::vector<std::uint8_t>(png.begin(), png.begin() + 8), signature);
  EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
  EXPECT_EQ(BigEndian32(png, 16), static_cast<std::uint32_t>(kWidth));
  EXPECT_EQ(BigEndian32(png, 20), static_cast<std::uint32_t>(kHeight));
  EXPECT_FALSE(std::filesystem::exists(Base("History") + L".bmp"));
}

TEST_F(Picture, BmpHoldsEveryPixelOfTheBitmap) {
  std::wstring error;
  const std::wstring path = SaveBitmapPicture(bitmap_.get(), Base("History"), &error, PictureFormat::kBmpOnly);
  ASSERT_EQ(path, Base("History") + L".bmp");
  EXPECT_FALSE(std::filesystem::exists(Base("History") + L".png"));
  const std::vector<std::uint8_t> bmp = ReadAll(path);
  const std::size_t stride = 112;
  const std::size_t offset = 14 + 40;
  ASSERT_EQ(bmp.size(), offset + stride * kHeight);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(LittleEndian32(bmp, 2), bmp.size());
  EXPECT_EQ(LittleEndian32(bmp, 10), offset);
  EXPECT_EQ(LittleEndian32(bmp, 14), 40u);
  EXPECT_EQ(LittleEndian32(bmp, 18), static_cast<std::uint32_t>(kWidth));
  EXPECT_EQ(LittleEndian32(bmp, 22), static_cast<std::uint32_t>(kHeight));  // positive: bottom-up
  EXPECT_EQ(bmp[28], 24);
  EXPECT_EQ(LittleEndian32(bmp, 30), 0u) << "BI_RGB";
  int wrong = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const std::size_t at = offset + stride * static_cast<std::size_t>(kHeight - 1 - y) + 3 * static_cast<std::size_t>(x);
      const COLORREF want = ColourAt(x, y);
      if (bmp[at] != GetBValue(want) || bmp[at + 1] != GetGValue(want) || bmp[at + 2] != GetRValue(want)) {
        if (++wrong <= 3) ADD_FAILURE() << "pixel " << x << "," << y;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST_F(Picture, ReplacesAnOlderPictureOfTheSameName) {
  { std::ofstream(std::filesystem::path(Base("Old") + L".bmp")) << std::string(100000, 'x'); }
  std::wstring error;
  const std::wstring path = SaveBitmapPicture(bitmap_.get(), Base("Old"), &error, PictureFormat::kBmpOnly);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(std::filesystem::file_size(path), 14u + 40u + 112u * kHeight);
}

TEST_F(Picture, FailsWithTheReasonAndLeavesNothing) {
  struct Case {
    const char* what;
    bool nullBitmap;
    const char* base;
  } cases[] = {
      {"a folder that is not there", false, "missing folder/History"},
      {"no bitmap", true, "History"},
  };
  for (const Case& c : cases) {
    for (PictureFormat format : {PictureFormat::kBest, PictureFormat::kBmpOnly}) {
      std::wstring error;
      const std::wstring path = SaveBitmapPicture(c.nullBitmap ? nullptr : bitmap_.get(), Base(c.base), &error, format);
      EXPECT_TRUE(path.empty()) << c.what;
      EXPECT_NE(error.find(L"cannot write"), std::wstring::npos) << c.what;
      EXPECT_NE(error.find(Base(c.base)), std::wstring::npos) << c.what << ": the error names the file";
      EXPECT_TRUE(std::filesystem::is_empty(dir_.Path())) << c.what;
    }
  }
}

}  // namespace
}  // namespace tarnwell::win32
