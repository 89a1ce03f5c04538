// The splash frame: bar arithmetic, window placement, the carried pictures' layout, and the pixels
// ticks leave in the frame (no display needed: frames are drawn off-screen).
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/image_resources.h"
#include "app/message_hand_off.h"
#include "app/render.h"
#include "app/splash_scale.h"
#include "app/startup.h"
#include "app/status_line.h"
#include "app/ui_state.h"
#include "app/window_procedure.h"
#include "platform/linux/linux_backend.h"
#include "platform/platform.h"
#include "script/script_runner.h"
#include "script/shared_state.h"
#include "tests/support/message_box_recorder.h"
#include "tests/support/splash_pictures.h"

// The next allocation of at least this many bytes fails, once; 0 for none.
std::atomic<size_t> FailAllocationFrom{0};

void* operator new(size_t size) {
    size_t from = FailAllocationFrom.load();
    if (from != 0 && size >= from && FailAllocationFrom.compare_exchange_strong(from, 0)) {
        throw std::bad_alloc();
    }
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

// Replaced too, as its memory comes back through the delete below.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}

// Not inlined: GCC would take a free() at a delete as a mismatch with the new that allocated.
__attribute__((noinline)) void operator delete(void* block) noexcept {
    std::free(block);
}

__attribute__((noinline)) void operator delete(void* block, size_t) noexcept {
    std::free(block);
}

namespace {

uint32_t Alpha(uint32_t argb) {
    return argb >> 24;
}

// Premultiplied ARGB of an opaque colour.
uint32_t Opaque(uint32_t r, uint32_t g, uint32_t b) {
    return 0xFF000000u | (r << 16) | (g << 8) | b;
}

std::vector<uint32_t> FramePixels() {
    std::vector<uint32_t> pixels;
    for (unsigned y = 0; y < BackgroundHeight; ++y) {
        for (unsigned x = 0; x < BackgroundWidth; ++x) {
            pixels.push_back(
                LinuxFramePixel(FrameBitmap, static_cast<int>(x), static_cast<int>(y)));
        }
    }
    return pixels;
}

uint32_t ImagePixel(const PlatformImage* image, int x, int y) {
    PlatformFrame* frame = PlatformCreateFrame(image);
    const uint32_t pixel = LinuxFramePixel(frame, x, y);
    PlatformDeleteFrame(frame);
    return pixel;
}

// The carried pictures loaded as start-up loads them, with a frame, but no window.
class SplashFrame : public ::testing::Test {
  protected:
    void SetUp() override {
        MessageBoxSink = RecordMessageBox;
        ClearRecordedBoxes();
        LoadSplashPictures();
        ProgressPercent.store(0);
        ForgetShownFrame(); // a new frame, holding the bare background
    }
    void TearDown() override {
        ShutdownGraphics();
        ProgressPercent.store(0);
        HandOverStatus(L"");
        EXPECT_TRUE(RecordedBoxes.empty());
    }

    // One repaint tick; no window, so nothing is presented.
    void Tick(int32_t percent) {
        ProgressPercent.store(percent);
        WindowOnTimer(nullptr, RepaintTimerId);
    }
};

} // namespace

TEST(FillArithmetic, LengthFollowsTheProgressTable) {
    const struct {
        int32_t percent;
        int length;
    } table[] = {{0, 0}, {1, 6}, {2, 13}, {25, 164}, {50, 328}, {99, 649}, {100, 656}};
    for (const auto& row : table) {
        EXPECT_EQ(FillLength(row.percent, 656), row.length) << row.percent;
    }
    for (int32_t p = 0; p <= 100; ++p) {
        EXPECT_EQ(FillLength(p, 656), p * 656 / 100) << p;
    }
    EXPECT_EQ(FillLength(100, 0), 0);
}

TEST(FillArithmetic, ProgressIsClampedBeforeTheLength) {
    EXPECT_EQ(FillLength(ClampProgress(250), 656), 656);
    EXPECT_EQ(FillLength(ClampProgress(-5), 656), 0);
    EXPECT_EQ(ClampProgress(INT32_MAX), 100);
    EXPECT_EQ(ClampProgress(INT32_MIN), 0);
    EXPECT_EQ(ClampProgress(37), 37);
}

TEST(WindowPlacement, CentresOnLargerScreensAndPinsOnSmallerOnes) {
    EXPECT_EQ(CentredOrigin(1920, 856), 532);
    EXPECT_EQ(CentredOrigin(1080, 552), 264);
    EXPECT_EQ(CentredOrigin(800, 856), 0);
    EXPECT_EQ(CentredOrigin(600, 552), 24);
    EXPECT_EQ(CentredOrigin(856 + 509, 856), 254);
    EXPECT_EQ(CentredOrigin(856, 856), 0);
    EXPECT_EQ(CentredOrigin(0, 856), 0);
}

TEST_F(SplashFrame, CarriedPicturesHaveTheLayoutTheRendererAssumes) {
    EXPECT_EQ(BackgroundWidth, 856u);
    EXPECT_EQ(BackgroundHeight, 552u);
    EXPECT_EQ(PlatformImageWidth(TrackImage), 656u);
    EXPECT_EQ(PlatformImageHeight(TrackImage), 14u);
    EXPECT_EQ(PlatformImageWidth(FillImage), 656u);
    EXPECT_EQ(PlatformImageHeight(FillImage), 14u);

    // The bar area is opaque but for one pixel of alpha 254; the right margin is clear.
    for (int y = BarY; y < BarY + 14; ++y) {
        for (int x = BarX; x < BarX + 656; ++x) {
            const uint32_t expected = (x == 102 && y == 521) ? 254u : 255u;
            ASSERT_EQ(Alpha(LinuxFramePixel(FrameBitmap, x, y)), expected) << x << "," << y;
        }
    }
    for (int y = 0; y < 552; y += 7) {
        EXPECT_EQ(LinuxFramePixel(FrameBitmap, 845, y), 0u) << y;
    }

    // Track: opaque rows 0-12 between its rounded ends, clear row 13.
    for (int x = 0; x < 656; ++x) {
        EXPECT_EQ(ImagePixel(TrackImage, x, 13), 0u) << x;
    }
    for (int y = 0; y <= 12; ++y) {
        EXPECT_EQ(ImagePixel(TrackImage, 328, y), Opaque(0, 0, 0)) << y;
    }
    EXPECT_LT(Alpha(ImagePixel(TrackImage, 0, 0)), 255u);

    // Fill: green body, clear border columns and rows 0, 12 and 13.
    EXPECT_EQ(ImagePixel(FillImage, 328, 6), Opaque(63, 216, 77));
    for (int y = 1; y <= 11; ++y) {
        EXPECT_EQ(ImagePixel(FillImage, 300, y), Opaque(63, 216, 77)) << y;
    }
    for (int x = 0; x < 656; ++x) {
        for (int y : {0, 12, 13}) {
            EXPECT_EQ(ImagePixel(FillImage, x, y), 0u) << x << "," << y;
        }
    }
    for (int y = 0; y < 14; ++y) {
        EXPECT_EQ(ImagePixel(FillImage, 0, y), 0u);
        EXPECT_EQ(ImagePixel(FillImage, 655, y), 0u);
    }
}

TEST(CarriedPictures, EncodingsAreAPaletteWith28AlphaEntriesAndRgba) {
    // Walks the PNG chunks of a carried resource; returns colour type and tRNS length.
    auto inspect = [](int id, int* colourType, size_t* trnsLength) {
        const unsigned char* bytes = nullptr;
        size_t size = 0;
        ASSERT_EQ(PlatformFindResource("PNG", id, &bytes, &size), ResourceStatus::Found);
        ASSERT_GT(size, 33u);
        ASSERT_EQ(std::memcmp(bytes, "\x89PNG\r\n\x1a\n", 8), 0);
        *colourType = bytes[8 + 8 + 9];
        EXPECT_EQ(bytes[8 + 8 + 8], 8) << "bit depth";
        EXPECT_EQ(bytes[8 + 8 + 12], 0) << "interlace";
        *trnsLength = 0;
        for (size_t at = 8; at + 8 <= size;) {
            const size_t length = (size_t{bytes[at]} << 24) | (size_t{bytes[at + 1]} << 16) |
                                  (size_t{bytes[at + 2]} << 8) | bytes[at + 3];
            if (std::memcmp(bytes + at + 4, "tRNS", 4) == 0) {
                *trnsLength = length;
            }
            at += 12 + length;
        }
    };
    int colourType = 0;
    size_t trns = 0;
    inspect(IdBackground, &colourType, &trns);
    EXPECT_EQ(colourType, 3);
    EXPECT_EQ(trns, 28u);
    inspect(IdTrack, &colourType, &trns);
    EXPECT_EQ(colourType, 6);
    inspect(IdFill, &colourType, &trns);
    EXPECT_EQ(colourType, 6);
}

TEST_F(SplashFrame, FillCoversExactlyTheComputedColumns) {
    const int row = BarY + 6;
    Tick(50);
    // Column 0 of the fill is clear, so the track shows there; then 327 green columns.
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, BarX, row), Opaque(0, 0, 0));
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, BarX + 1, row), Opaque(63, 216, 77));
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, BarX + 327, row), Opaque(63, 216, 77));
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, BarX + 328, row), Opaque(0, 0, 0));

    Tick(1);
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, BarX + 5, row), Opaque(63, 216, 77));
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, BarX + 6, row), Opaque(0, 0, 0));

    // Out-of-range progress draws as its clamp.
    Tick(250);
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, BarX + 654, row), Opaque(63, 216, 77));
    const std::vector<uint32_t> full = FramePixels();
    Tick(100);
    EXPECT_EQ(FramePixels(), full);
    Tick(-5);
    const std::vector<uint32_t> empty = FramePixels();
    Tick(0);
    EXPECT_EQ(FramePixels(), empty);
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, BarX + 1, row), Opaque(0, 0, 0));
}

TEST_F(SplashFrame, FallingProgressLeavesNoTraceOfTheLongerFill) {
    Tick(10);
    const std::vector<uint32_t> fresh = FramePixels();
    Tick(100);
    Tick(10);
    EXPECT_EQ(FramePixels(), fresh);
}

TEST_F(SplashFrame, RepeatedTicksDoNotThickenThePartlyTransparentOutline) {
    Tick(40);
    const std::vector<uint32_t> once = FramePixels();
    // Drawn again and again although nothing changed, which ticks themselves no longer do.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(RenderFrame());
    }
    const std::vector<uint32_t> many = FramePixels();
    size_t partly = 0;
    for (size_t i = 0; i < once.size(); ++i) {
        ASSERT_EQ(many[i], once[i]) << "pixel " << i % 856 << "," << i / 856;
        partly += Alpha(once[i]) > 0 && Alpha(once[i]) < 255;
    }
    EXPECT_GT(partly, 1000u) << "the outline should be partly transparent";
}

TEST_F(SplashFrame, TicksDoNothingWithoutAllFourObjectsOrForAnotherTimer) {
    Tick(0);
    const std::vector<uint32_t> before = FramePixels();

    ProgressPercent.store(80);
    WindowOnTimer(nullptr, 2);
    EXPECT_EQ(FramePixels(), before);

    for (PlatformImage** picture : {&TrackImage, &FillImage, &BackgroundImage}) {
        PlatformImage* kept = *picture;
        *picture = nullptr;
        WindowOnTimer(nullptr, RepaintTimerId);
        EXPECT_EQ(FramePixels(), before);
        *picture = kept;
    }
    WindowOnTimer(nullptr, RepaintTimerId);
    EXPECT_NE(FramePixels(), before);
}

// Light pixels (every channel over 160) in the status band: their count and the midpoint of the
// leftmost and rightmost lit columns.
struct LitBand {
    int count = 0;
    double middle = 0;
    int rows = 0; // from the topmost lit row to the lowest
};

// Light pixels (every channel over 160) in the status band at the splash's scale.
LitBand LightPixelsInStatusBand() {
    LitBand lit;
    int left = INT_MAX;
    int right = -1;
    int top = INT_MAX;
    int bottom = -1;
    const unsigned dpi = SplashDpi();
    for (int y = ScaleLength(BarY - StatusBandHeight, dpi); y < ScaleLength(BarY, dpi); ++y) {
        for (int x = 0; x < static_cast<int>(BackgroundWidth); ++x) {
            const uint32_t pixel = LinuxFramePixel(FrameBitmap, x, y);
            if (((pixel >> 16) & 255) > 160 && ((pixel >> 8) & 255) > 160 && (pixel & 255) > 160) {
                ++lit.count;
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    lit.middle = (left + right) / 2.0;
    lit.rows = bottom - top + 1;
    return lit;
}

TEST_F(SplashFrame, StatusLineIsCentredInItsBandFollowsItsTextAndEmptyDrawsNothing) {
    Tick(40);
    const std::vector<uint32_t> plain = FramePixels();
    EXPECT_EQ(LightPixelsInStatusBand().count, 0);

    HandOverStatus(L"已下载 1.2 / 5.0 GB · 12.3 MB/s · 剩余 3 分钟");
    EXPECT_NE(StatusGeneration(), TakenStatusGeneration()) << "a tick has a new text to draw";
    Tick(40);
    EXPECT_EQ(StatusGeneration(), TakenStatusGeneration());
    const LitBand download = LightPixelsInStatusBand();
    EXPECT_GT(download.count, 300);
    EXPECT_NEAR(download.middle, BarX + 328, 3) << "centred above the bar";

    // The same text again is no change; another text is drawn in place of the first.
    const uint32_t drawn = StatusGeneration();
    HandOverStatus(L"已下载 1.2 / 5.0 GB · 12.3 MB/s · 剩余 3 分钟");
    EXPECT_EQ(StatusGeneration(), drawn);
    HandOverStatus(L"正在解压 42%");
    Tick(40);
    const LitBand extraction = LightPixelsInStatusBand();
    EXPECT_GT(extraction.count, 100);
    EXPECT_LT(extraction.count, download.count);
    EXPECT_NEAR(extraction.middle, BarX + 328, 3);

    HandOverStatus(L"");
    Tick(40);
    EXPECT_EQ(FramePixels(), plain) << "an empty status leaves the frame as it was without one";
}

// At 200 % the frame is the window's 1712 x 1104 pixels: the background, the bar and the status
// line drawn twice as large from pictures resampled once, the fill still cut to the progress of
// the scaled fill's width. Back at 100 % the frame is what it was, pixel for pixel.
TEST_F(SplashFrame, AtTwiceTheDpiTheWholeSplashIsDrawnTwiceAsLargeAndBackAtOneToOne) {
    HandOverStatus(L"正在解压 42%");
    Tick(50);
    const std::vector<uint32_t> atBase = FramePixels();
    const LitBand textAtBase = LightPixelsInStatusBand();

    ASSERT_TRUE(SetSplashDpi(192));
    EXPECT_EQ(SplashDpi(), 192u);
    EXPECT_EQ(BackgroundWidth, 1712u);
    EXPECT_EQ(BackgroundHeight, 1104u);
    ForgetShownFrame();
    Tick(50);
    // The fill's 656 of 1312 columns from x 100, over the black track, in the bar's row 6 (12).
    const int row = 2 * BarY + 12;
    for (int column : {10, 300, 640}) {
        EXPECT_EQ(LinuxFramePixel(FrameBitmap, 2 * BarX + column, row), Opaque(63, 216, 77))
            << column;
    }
    for (int column : {670, 1000, 1290}) {
        EXPECT_EQ(LinuxFramePixel(FrameBitmap, 2 * BarX + column, row), Opaque(0, 0, 0)) << column;
    }
    // The picture's own pixels, twice as large: the clear right margin and opaque body.
    for (int y = 0; y < 1104; y += 13) {
        EXPECT_EQ(LinuxFramePixel(FrameBitmap, 1700, y), 0u) << y;
    }
    EXPECT_EQ(Alpha(LinuxFramePixel(FrameBitmap, 800, 800)), 255u);
    EXPECT_EQ(LinuxFramePixel(FrameBitmap, 800, 800) | 0x0F0F0F0Fu,
              atBase[400 * 856 + 400] | 0x0F0F0F0Fu)
        << "the same colour where the picture is flat";
    const LitBand text = LightPixelsInStatusBand();
    EXPECT_NEAR(text.middle, 2 * BarX + 656, 6) << "centred above the scaled bar";
    EXPECT_GT(text.count, 3 * textAtBase.count) << "glyphs of twice the size";
    EXPECT_GE(text.rows, textAtBase.rows * 3 / 2);

    // An impossible scale is refused and changes nothing.
    EXPECT_FALSE(SetSplashDpi(0));
    EXPECT_FALSE(SetSplashDpi(16 * 96 + 1));
    EXPECT_EQ(BackgroundWidth, 1712u);

    ASSERT_TRUE(SetSplashDpi(96));
    EXPECT_EQ(BackgroundWidth, 856u);
    EXPECT_EQ(BackgroundHeight, 552u);
    ForgetShownFrame();
    Tick(50);
    EXPECT_EQ(FramePixels(), atBase);
}

TEST(SplashScale, LengthsGrowWithTheDpiRoundedToTheNearestPixel) {
    EXPECT_EQ(ScaleLength(856, 96), 856);
    EXPECT_EQ(ScaleLength(856, 192), 1712);
    EXPECT_EQ(ScaleLength(552, 144), 828);
    EXPECT_EQ(ScaleLength(14, 120), 18); // 17.5 rounds up
    EXPECT_EQ(ScaleLength(30, 168), 53); // 52.5 rounds up
    EXPECT_EQ(ScaleLength(656, 120), 820);
}

TEST(HitTest, ClientAreaBecomesTheCaptionAndNothingElseChanges) {
    EXPECT_EQ(WindowOnHitTest(HitClient), HitCaption);
    EXPECT_EQ(WindowOnHitTest(HitCaption), HitCaption);
    EXPECT_EQ(WindowOnHitTest(0), 0);
    EXPECT_EQ(WindowOnHitTest(20), 20); // the close button
}

TEST(Command, OnlyIdOneShowsItsBox) {
    MessageBoxSink = RecordMessageBox;
    ClearRecordedBoxes();
    WindowOnCommand(nullptr, 2);
    EXPECT_TRUE(RecordedBoxes.empty());
    WindowOnCommand(nullptr, ActionCommandId);
    ASSERT_EQ(RecordedBoxes.size(), 1u);
    EXPECT_EQ(RecordedBoxes[0].text, L"Action Triggered!");
    EXPECT_EQ(RecordedBoxes[0].title, L"Game Launcher");
    EXPECT_EQ(RecordedBoxes[0].flags, 0u);
}

// std::thread allocates its state before it starts the thread; running out of memory there is a
// worker that cannot start like any other.
TEST(WorkerStart, AllocationFailureIsReportedAndRefusesTheWindow) {
    MessageBoxSink = RecordMessageBox;
    ClearRecordedBoxes();
    WorkerEntry = [](const std::string&) { ScriptBusy.store(false); };
    WorkerStartFailed = false;
    // The state holds the function, the script's name and its own vtable; the name alone is less.
    FailAllocationFrom.store(sizeof(std::string) + 2 * sizeof(void*));
    const bool created = WindowOnCreate(nullptr);
    EXPECT_EQ(FailAllocationFrom.exchange(0), 0u) << "no allocation that large was made";
    EXPECT_FALSE(created);
    EXPECT_FALSE(ScriptBusy.load());
    EXPECT_TRUE(WorkerStartFailed);
    ASSERT_EQ(RecordedBoxes.size(), 1u);
    EXPECT_EQ(RecordedBoxes[0].text, L"Failed to start the launcher script.");
    EXPECT_EQ(RecordedBoxes[0].title, L"Critical Error");
    EXPECT_EQ(RecordedBoxes[0].flags, MessageBoxIconError);
    ResetMessageHandOff();
    WorkerStartFailed = false;
    WorkerEntry = ScriptThread;
}
