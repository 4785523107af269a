// The GDI painter of a History chart, read back pixel by pixel from a memory canvas.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/win32/Win32Gdi.h"
#include "app/win32/Win32HistoryPaint.h"
#include "tests/support/gdi_canvas.h"

namespace tarnwell::win32 {
namespace {

using testutil::CountDarkPixels;
using testutil::CountPixels;
using testutil::PixelRgb;

constexpr std::uint32_t kWhite = 0xFFFFFF;
constexpr std::uint32_t kRed = 0xFF0000;
constexpr std::uint32_t kGreen = 0x00C000;
constexpr std::uint32_t kBlue = 0x0000FF;
constexpr std::uint32_t kGrid = 0xE1E1E1;

history::ChartPoint At(int x, int y) { return history::ChartPoint{x, y, 0, 0}; }

// 240 x 140 with the plot at (50,20)..(220,110): a red line across, others running out of
// the plot to the right and (left of the title) above it, a lone green sample, a blue restart on the floor.
history::ChartPicture Picture() {
  history::ChartPicture p;
  p.title = "CPU (%)";
  p.width = 240;
  p.height = 140;
  p.plot = history::PixelRect{50, 20, 220, 110};
  p.valueTicks = {{20, "100"}, {65, "50"}, {109, "0"}};
  p.timeTicks = {{90, "01-11"}, {170, "02-11"}};
  history::DrawnLine red;
  red.pool = "ShopPool";
  red.colour = kRed;
  red.segments = {{At(60, 50), At(140, 50)}, {At(150, 40), At(300, 40)}, {At(70, 80), At(70, -30)}};
  history::DrawnLine green;
  green.pool = "Lone";
  green.colour = kGreen;
  green.segments = {{At(180, 90)}};
  green.restarts = {At(200, 110)};
  history::DrawnLine blue;
  blue.pool = "Restarted";
  blue.colour = kBlue;
  blue.restarts = {At(120, 110), At(10, 110)};
  p.lines = {red, green, blue};
  return p;
}

class HistoryPaint : public ::testing::Test {
 protected:
  HistoryPaint() : canvas_(nullptr, 240, 140), font_(static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT))) {}
  void SetUp() override {
    ASSERT_TRUE(canvas_);
    // Something on the canvas that the painter must cover.
    RECT all{0, 0, 240, 140};
    UniqueBrush black(::CreateSolidBrush(RGB(0, 0, 0)));
    ::FillRect(canvas_.Dc(), &all, black.get());
  }
  HDC Dc() const { return canvas_.Dc(); }

  MemoryCanvas canvas_;
  HFONT font_;
};

TEST_F(HistoryPaint, DrawsEachPartWhereThePictureSays) {
  PaintHistoryChart(Dc(), Picture(), font_);
  struct Case {
    const char* what;
    int x, y;
    std::uint32_t rgb;
  } cases[] = {
      {"background, right of the plot", 230, 60, kWhite},
      {"background, inside the plot", 70, 100, kWhite},
      {"a segment's middle", 100, 50, kRed},
      {"a segment's ends", 60, 50, kRed},
      {"a segment running out of the plot, inside", 210, 40, kRed},
      {"the same segment, clipped right of the plot", 230, 40, kWhite},
      {"a segment running above the plot, inside", 70, 25, kRed},
      {"the same segment, clipped above the plot", 70, 10, kWhite},
      {"a lone sample", 180, 90, kGreen},
      {"a lone sample is more than a pixel", 181, 90, kGreen},
      {"a restart on the floor", 120, 109, kBlue},
      {"a restart's dot reaches below the floor", 120, 112, kBlue},
      {"a restart's dot is about 7 px across", 117, 110, kBlue},
      {"a restart's dot, not wider", 115, 110, kWhite},
      {"a grid line at a value tick", 160, 65, kGrid},
      {"a grid line at a time tick", 90, 100, kGrid},
  };
  for (const Case& c : cases) EXPECT_EQ(PixelRgb(Dc(), c.x, c.y), c.rgb) << c.what;
}

TEST_F(HistoryPaint, ClipsRestartsToThePlotsColumns) {
  PaintHistoryChart(Dc(), Picture(), font_);
  EXPECT_EQ(CountPixels(Dc(), 0, 100, 50, 120, kBlue), 0) << "a restart left of the plot";
  EXPECT_GT(CountPixels(Dc(), 195, 106, 206, 115, kGreen), 20) << "a restart of another pool, inside";
}

TEST_F(HistoryPaint, WritesTheTitleAndTheLabelsBesideThePlot) {
  PaintHistoryChart(Dc(), Picture(), font_);
  // The title centred above the plot.
  EXPECT_GT(CountDarkPixels(Dc(), 95, 0, 145, 20), 0);
  EXPECT_EQ(CountDarkPixels(Dc(), 0, 0, 20, 20), 0) << "the title is not at the left";
  // Value labels right-aligned against the plot's left edge, time labels below the plot.
  EXPECT_GT(CountDarkPixels(Dc(), 20, 58, 48, 72), 0) << "50";
  EXPECT_EQ(CountDarkPixels(Dc(), 0, 58, 15, 72), 0) << "50 ends at the plot, not the canvas's edge";
  EXPECT_GT(CountDarkPixels(Dc(), 75, 112, 105, 135), 0) << "01-11";
  EXPECT_GT(CountDarkPixels(Dc(), 155, 112, 185, 135), 0) << "02-11";
}

TEST_F(HistoryPaint, KeepsATimeLabelAtTheEdgeWhole) {
  history::ChartPicture picture = Picture();
  picture.lines.clear();
  picture.valueTicks.clear();
  picture.timeTicks = {{2, "01-11 00:00"}, {236, "04-11 00:00"}};
  PaintHistoryChart(Dc(), picture, font_);
  // Centred on their ticks, each would lose half its width past the canvas's edge.
  EXPECT_GT(CountDarkPixels(Dc(), 184, 112, 200, 135), 0) << "the right one, moved left";
  EXPECT_GT(CountDarkPixels(Dc(), 40, 112, 56, 135), 0) << "the left one, moved right";
}

TEST_F(HistoryPaint, LeavesTheDcAsItWas) {
  HDC dc = Dc();
  UniqueFont other(::CreateFontW(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma"));
  Selection font(dc, other.get());
  ::SetTextAlign(dc, TA_BASELINE | TA_LEFT);
  ::SetBkMode(dc, OPAQUE);
  ::SetTextColor(dc, RGB(1, 2, 3));
  const HGDIOBJ pen = ::GetCurrentObject(dc, OBJ_PEN);
  const HGDIOBJ brush = ::GetCurrentObject(dc, OBJ_BRUSH);
  for (int i = 0; i < 3; ++i) PaintHistoryChart(dc, Picture(), font_);
  EXPECT_EQ(::GetCurrentObject(dc, OBJ_FONT), other.get());
  EXPECT_EQ(::GetCurrentObject(dc, OBJ_PEN), pen);
  EXPECT_EQ(::GetCurrentObject(dc, OBJ_BRUSH), brush);
  EXPECT_EQ(::GetTextAlign(dc), static_cast<UINT>(TA_BASELINE | TA_LEFT));
  EXPECT_EQ(::GetBkMode(dc), OPAQUE);
  EXPECT_EQ(::GetTextColor(dc), RGB(1, 2, 3));
  // No clip region is left behind: a fill reaches the canvas's corner.
  RECT all{0, 0, 240, 140};
  ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
  EXPECT_EQ(PixelRgb(dc, 239, 139), 0u);
}

TEST_F(HistoryPaint, AnEmptyPictureIsJustWhite) {
  history::ChartPicture empty;
  empty.width = 240;
  empty.height = 140;
  empty.plot = history::PixelRect{50, 20, 220, 110};
  PaintHistoryChart(Dc(), empty, nullptr);
  EXPECT_EQ(PixelRgb(Dc(), 5, 5), kWhite);
  EXPECT_EQ(PixelRgb(Dc(), 100, 60), kWhite);
  EXPECT_EQ(PixelRgb(Dc(), 239, 139), kWhite);
}

TEST_F(HistoryPaint, TextMetricsFollowTheFont) {
  UniqueFont small(::CreateFontW(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma"));
  UniqueFont large(::CreateFontW(-33, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma"));
  const HGDIOBJ before = ::GetCurrentObject(Dc(), OBJ_FONT);
  const history::TextMetrics s = HistoryTextMetrics(Dc(), small.get());
  const history::TextMetrics l = HistoryTextMetrics(Dc(), large.get());
  EXPECT_EQ(::GetCurrentObject(Dc(), OBJ_FONT), before);
  EXPECT_GE(s.lineHeight, 11);
  EXPECT_GE(s.charWidth, 3);
  EXPECT_GT(l.lineHeight, 2 * s.lineHeight);
  EXPECT_GT(l.charWidth, s.charWidth);
}

TEST(MemoryCanvas, CopiesItsPictureAndHandsOverItsBitmap) {
  MemoryCanvas source(nullptr, 30, 20);
  ASSERT_TRUE(source);
  RECT all{0, 0, 30, 20};
  UniqueBrush red(::CreateSolidBrush(RGB(255, 0, 0)));
  ::FillRect(source.Dc(), &all, red.get());
  MemoryCanvas target(nullptr, 40, 40);
  ASSERT_TRUE(target);
  RECT whole{0, 0, 40, 40};
  ::FillRect(target.Dc(), &whole, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  source.BlitTo(target.Dc(), 5, 5);
  EXPECT_EQ(PixelRgb(target.Dc(), 5, 5), kRed);
  EXPECT_EQ(PixelRgb(target.Dc(), 34, 24), kRed);
  EXPECT_EQ(PixelRgb(target.Dc(), 35, 25), kWhite);

  UniqueBitmap bitmap = source.TakeBitmap();
  ASSERT_TRUE(bitmap);
  EXPECT_FALSE(source);
  BITMAP info{};
  ASSERT_EQ(::GetObjectW(bitmap.get(), sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth, 30);
  EXPECT_EQ(info.bmHeight, 20);
}

}  // namespace
}  // namespace tarnwell::win32
