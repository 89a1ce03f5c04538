// The Win32 resources and GDI+ drawing, in a test program that carries launcher.rc itself: what
// the resource script puts in the program (language, icons, manifest), the pictures decoded by
// GDI+, and the pixels ticks leave in the frame (a memory device context, no display needed).
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/image_resources.h"
#include "app/render.h"
#include "app/startup.h"
#include "app/status_line.h"
#include "app/ui_state.h"
#include "app/window_procedure.h"
#include "platform/platform.h"
#include "platform/win32/win32_backend.h"
#include "script/script_runner.h"
#include "script/shared_state.h"
#include "tests/support/splash_pictures.h"

namespace {

struct Box {
    bool owned;
    std::wstring text;
    std::wstring title;
    unsigned flags;
};

std::vector<Box> Boxes;

void RecordBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
               unsigned flags) {
    Boxes.push_back({owner != nullptr, text, title, flags});
}

// The frame's pixel as premultiplied ARGB, whichever way up GDI+ made the bitmap.
uint32_t FramePixel(int x, int y) {
    DIBSECTION section;
    EXPECT_EQ(GetObjectW(FrameBitmap->bitmap, sizeof section, &section), int(sizeof section));
    GdiFlush();
    const int height = section.dsBm.bmHeight;
    const int row = section.dsBmih.biHeight < 0 ? y : height - 1 - y;
    uint32_t pixel;
    std::memcpy(&pixel,
                static_cast<const unsigned char*>(section.dsBm.bmBits) +
                    static_cast<ptrdiff_t>(row) * section.dsBm.bmWidthBytes + x * 4,
                sizeof pixel);
    return pixel;
}

// The whole frame top-down, read at once.
std::vector<uint32_t> FramePixels() {
    DIBSECTION section;
    EXPECT_EQ(GetObjectW(FrameBitmap->bitmap, sizeof section, &section), int(sizeof section));
    GdiFlush();
    const int width = section.dsBm.bmWidth;
    const int height = section.dsBm.bmHeight;
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        const int row = section.dsBmih.biHeight < 0 ? y : height - 1 - y;
        std::memcpy(&pixels[static_cast<size_t>(y) * static_cast<size_t>(width)],
                    static_cast<const unsigned char*>(section.dsBm.bmBits) +
                        static_cast<ptrdiff_t>(row) * section.dsBm.bmWidthBytes,
                    static_cast<size_t>(width) * 4);
    }
    return pixels;
}

// Light pixels (every channel over 160) in the status band, as on Linux: how many, where they
// are, and the midpoint of the leftmost and rightmost lit columns.
struct LitBand {
    std::vector<size_t> at;
    double middle = 0;
};

LitBand LightPixelsInStatusBand() {
    const std::vector<uint32_t> pixels = FramePixels();
    LitBand lit;
    int left = INT_MAX;
    int right = -1;
    for (int y = BarY - StatusBandHeight; y < BarY; ++y) {
        for (int x = 0; x < static_cast<int>(BackgroundWidth); ++x) {
            const size_t index = static_cast<size_t>(y) * BackgroundWidth + static_cast<size_t>(x);
            const uint32_t pixel = pixels[index];
            if (((pixel >> 16) & 255) > 160 && ((pixel >> 8) & 255) > 160 && (pixel & 255) > 160) {
                lit.at.push_back(index);
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    lit.middle = (left + right) / 2.0;
    return lit;
}

std::string ResourceText(const wchar_t* type, int id) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
    if (found == nullptr) {
        return std::string();
    }
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
    return std::string(bytes, SizeofResource(nullptr, found));
}

class Win32Splash : public ::testing::Test {
  protected:
    void SetUp() override {
        Boxes.clear();
        MessageBoxSink = RecordBox;
        PlatformStartGraphics();
    }
    void TearDown() override {
        ShutdownGraphics();
        EXPECT_EQ(GdiplusToken, 0u);
        MessageBoxSink = PlatformMessageBox;
        ProgressPercent.store(0);
    }
    void LoadAll() {
        LoadSplashPictures();
    }
};

} // namespace

TEST(Win32Resources, PicturesAreStoredUnderChinesePrcAndFoundWithoutALanguage) {
    const WORD prc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
    ASSERT_EQ(prc, 2052);
    for (int id : {131, 133, 135}) {
        EXPECT_NE(FindResourceExW(nullptr, L"PNG", MAKEINTRESOURCEW(id), prc), nullptr) << id;
        const unsigned char* bytes = nullptr;
        size_t size = 0;
        ASSERT_EQ(PlatformFindResource("PNG", id, &bytes, &size), ResourceStatus::Found) << id;
        ASSERT_GT(size, 8u);
        EXPECT_EQ(std::memcmp(bytes, "\x89PNG\r\n\x1a\n", 8), 0) << id;
    }
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    EXPECT_EQ(PlatformFindResource("PNG", 132, &bytes, &size), ResourceStatus::NotFound);
    EXPECT_EQ(PlatformFindResource("PNG", 107, &bytes, &size), ResourceStatus::NotFound);
    // Only the low 16 bits of an id name a resource.
    EXPECT_EQ(PlatformFindResource("PNG", 131 + 0x10000, &bytes, &size), ResourceStatus::Found);
}

TEST(Win32Resources, IconGroupsHoldOne128PixelImageOf32Bits) {
    for (int id : {107, 108}) {
        const std::string group = ResourceText(MAKEINTRESOURCEW(14), id); // RT_GROUP_ICON
        // Header (reserved, type 1, count) and 14-byte entries.
        ASSERT_EQ(group.size(), 6u + 14u) << id;
        const auto* raw = reinterpret_cast<const unsigned char*>(group.data());
        EXPECT_EQ(raw[2] | raw[3] << 8, 1);
        EXPECT_EQ(raw[4] | raw[5] << 8, 1);
        EXPECT_EQ(raw[6], 128);                      // width
        EXPECT_EQ(raw[7], 128);                      // height
        EXPECT_EQ(raw[6 + 6] | raw[6 + 7] << 8, 32); // bits per pixel
        const int imageId = raw[6 + 12] | raw[6 + 13] << 8;
        const std::string image = ResourceText(MAKEINTRESOURCEW(3), imageId); // RT_ICON
        EXPECT_EQ(image.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    }
}

TEST(Win32Resources, ManifestAsksForTheInvokersLevelPerMonitorDpiWindows7To11AndLongPaths) {
    const std::string manifest = ResourceText(MAKEINTRESOURCEW(24), 1); // RT_MANIFEST
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    // Per-monitor v2, falling back to v1, and system awareness where neither is known.
    EXPECT_NE(manifest.find("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                            "WindowsSettings\">PerMonitorV2, PerMonitor</dpiAwareness>"),
              std::string::npos);
    EXPECT_NE(manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/"
                            "WindowsSettings\">true/pm</dpiAware>"),
              std::string::npos);
    EXPECT_EQ(manifest.find("dependency"), std::string::npos);
    EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                            "WindowsSettings\">true</longPathAware>"),
              std::string::npos);
    // Windows 7, 8, 8.1 and 10/11; without them Windows treats the program as one for Vista.
    for (const char* id :
         {"35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
          "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) {
        EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"{") + id + "}\"/>"),
                  std::string::npos)
            << id;
    }
}

TEST_F(Win32Splash, CarriedPicturesDecodeWithTheirSizesAndNoMessage) {
    LoadAll();
    EXPECT_EQ(BackgroundWidth, 856u);
    EXPECT_EQ(BackgroundHeight, 552u);
    EXPECT_EQ(PlatformImageWidth(TrackImage), 656u);
    EXPECT_EQ(PlatformImageHeight(TrackImage), 14u);
    EXPECT_EQ(PlatformImageWidth(FillImage), 656u);
    EXPECT_EQ(PlatformImageHeight(FillImage), 14u);
    EXPECT_TRUE(Boxes.empty());
    // The first frame is the background over transparent black: see-through right of the body.
    EXPECT_EQ(FramePixel(850, 300), 0u);
    EXPECT_EQ(FramePixel(400, 400) >> 24, 255u);
}

TEST_F(Win32Splash, UndecodableBytesAndAnEmptyStreamGiveTheDecodersNonzeroStatus) {
    const unsigned char text[] = "not a picture at all";
    int status = 0;
    EXPECT_EQ(PlatformDecodePng(text, sizeof text, &status), nullptr);
    EXPECT_NE(status, 0);
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    ASSERT_EQ(PlatformFindResource("PNG", IdFill, &bytes, &size), ResourceStatus::Found);
    status = 0;
    EXPECT_EQ(PlatformDecodePng(bytes, size / 2, &status), nullptr) << "truncated";
    EXPECT_NE(status, 0);
}

TEST_F(Win32Splash, TickDrawsTheFillCutToTheProgressOverTheTrack) {
    LoadAll();
    const int row = BarY + 6;
    struct Case {
        int32_t percent;
        int length;
    };
    // 250 is drawn as 100 and -5 as 0; a shorter fill after a longer one leaves nothing behind.
    for (const Case& c : {Case{100, 656}, Case{1, 6}, Case{50, 328}, Case{250, 656}, Case{25, 164},
                          Case{-5, 0}, Case{99, 649}}) {
        ProgressPercent.store(c.percent);
        ASSERT_TRUE(RenderFrame());
        const uint32_t green = 0xFF000000u | (63u << 16) | (216u << 8) | 77u;
        const uint32_t black = 0xFF000000u;
        if (c.length > 2) {
            EXPECT_EQ(FramePixel(BarX + 2, row), green) << c.percent;
            // The fill's last column is transparent: a full bar ends one column early.
            EXPECT_EQ(FramePixel(BarX + std::min(c.length - 1, 654), row), green) << c.percent;
        }
        if (c.length < 650) {
            EXPECT_EQ(FramePixel(BarX + c.length, row), black) << c.percent;
            EXPECT_EQ(FramePixel(BarX + 650, row), black) << c.percent;
        }
    }
}

TEST_F(Win32Splash, RepeatedTicksLeaveThePartlyTransparentOutlineAsTheFirstTickDrawsIt) {
    LoadAll();
    ASSERT_TRUE(RenderFrame());
    std::vector<uint32_t> first;
    for (unsigned y = 0; y < BackgroundHeight; y += 3) {
        for (unsigned x = 0; x < BackgroundWidth; x += 3) {
            first.push_back(FramePixel(static_cast<int>(x), static_cast<int>(y)));
        }
    }
    for (int tick = 0; tick < 20; ++tick) {
        ASSERT_TRUE(RenderFrame());
    }
    size_t index = 0;
    size_t partial = 0;
    for (unsigned y = 0; y < BackgroundHeight; y += 3) {
        for (unsigned x = 0; x < BackgroundWidth; x += 3) {
            const uint32_t pixel = FramePixel(static_cast<int>(x), static_cast<int>(y));
            partial += (pixel >> 24) > 0 && (pixel >> 24) < 255;
            ASSERT_EQ(pixel, first[index++]) << x << "," << y;
        }
    }
    EXPECT_GT(partial, 0u) << "the sample holds no partly transparent pixel";
}

// GDI+ finds a family of MakeTextFont's list (under Wine: "Microsoft YaHei" as the prefix's
// replacement, see scripts/wine-run.sh) and draws the Chinese glyphs, not one box per character.
TEST_F(Win32Splash, StatusLineIsCentredAboveTheBarFollowsItsTextAndEmptyDrawsNothing) {
    LoadAll();
    ProgressPercent.store(40);
    ASSERT_TRUE(RenderFrame());
    const std::vector<uint32_t> plain = FramePixels();
    EXPECT_TRUE(LightPixelsInStatusBand().at.empty());

    HandOverStatus(L"已下载 1.2 / 5.0 GB · 12.3 MB/s · 剩余 3 分钟");
    ASSERT_TRUE(RenderFrame());
    const LitBand download = LightPixelsInStatusBand();
    ASSERT_GT(download.at.size(), 300u) << "no status text drawn: GDI+ found no font";
    EXPECT_NEAR(download.middle, BarX + 328, 3) << "centred above the bar";

    HandOverStatus(L"正在解压 42%");
    ASSERT_TRUE(RenderFrame());
    const LitBand extraction = LightPixelsInStatusBand();
    EXPECT_GT(extraction.at.size(), 100u);
    EXPECT_LT(extraction.at.size(), download.at.size());
    EXPECT_NEAR(extraction.middle, BarX + 328, 3);
    // As many characters of the same kind: only real glyphs make another picture.
    HandOverStatus(L"剩余时间 42%");
    ASSERT_TRUE(RenderFrame());
    EXPECT_TRUE(LightPixelsInStatusBand().at != extraction.at)
        << "the Chinese characters have no glyphs";

    HandOverStatus(L"");
    ASSERT_TRUE(RenderFrame());
    EXPECT_TRUE(FramePixels() == plain) << "an empty status leaves the frame as it was without one";
}

namespace {

// The worker the test's window starts: nothing to run.
void IdleWorker(const std::string& /*scriptName*/) {
    ScriptBusy.store(false);
}

} // namespace

// Dragged onto a monitor of 200 % and back (WM_DPICHANGED, which Wine never sends itself): the
// window goes where the system suggests, at the size of a frame drawn for the new scale.
TEST_F(Win32Splash, MovedToAMonitorOfAnotherScaleTheWindowIsRedrawnAtThatScale) {
    if (GetEnvironmentVariableW(L"LAUNCHER_TEST_DISPLAY", nullptr, 0) == 0) {
        GTEST_SKIP() << "Wine makes windows only with a display: win32_window_dpi runs this case "
                        "on one (LAUNCHER_TEST_DISPLAY)";
    }
    LoadAll();
    WorkerEntry = IdleWorker;
    ProgressPercent.store(50);
    MainWindow = PlatformCreateWindow(L"Game Launcher", 10, 20, BackgroundWidth, BackgroundHeight);
    ASSERT_NE(MainWindow, nullptr);
    PresentFrame(MainWindow);
    const HWND handle = MainWindow->handle;
    struct Move {
        unsigned dpi;
        RECT suggested;
    };
    for (const Move& move :
         {Move{192, {300, 200, 300 + 1712, 200 + 1104}}, Move{96, {40, 30, 40 + 856, 30 + 552}}}) {
        RECT suggested = move.suggested;
        SendMessageW(handle, WM_DPICHANGED, MAKEWPARAM(move.dpi, move.dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        const int scale = static_cast<int>(move.dpi / 96);
        EXPECT_EQ(BackgroundWidth, 856u * scale) << move.dpi;
        EXPECT_EQ(BackgroundHeight, 552u * scale) << move.dpi;
        RECT placed{};
        ASSERT_TRUE(GetWindowRect(handle, &placed));
        EXPECT_EQ(placed.left, move.suggested.left) << move.dpi;
        EXPECT_EQ(placed.top, move.suggested.top) << move.dpi;
        EXPECT_EQ(placed.right - placed.left, 856 * scale) << move.dpi;
        EXPECT_EQ(placed.bottom - placed.top, 552 * scale) << move.dpi;
        // Drawn at once, at the new scale: half of the fill over the track.
        const uint32_t green = 0xFF000000u | (63u << 16) | (216u << 8) | 77u;
        const int row = scale * (BarY + 6);
        EXPECT_EQ(FramePixel(scale * BarX + scale * 300, row), green) << move.dpi;
        EXPECT_EQ(FramePixel(scale * BarX + scale * 340, row), 0xFF000000u) << move.dpi;
    }
    // A scale whose pictures cannot be made (20 times) leaves the splash as it was, at its
    // frame's size.
    RECT huge{100, 90, 100 + 20 * 856, 90 + 20 * 552};
    SendMessageW(handle, WM_DPICHANGED, MAKEWPARAM(1920, 1920), reinterpret_cast<LPARAM>(&huge));
    EXPECT_EQ(BackgroundWidth, 856u);
    RECT kept{};
    ASSERT_TRUE(GetWindowRect(handle, &kept));
    EXPECT_EQ(kept.right - kept.left, 856);
    EXPECT_EQ(kept.bottom - kept.top, 552);
    DestroyWindow(handle);
    MainWindow = nullptr;
    int ignored = 0;
    PlatformTakeQuit(&ignored);
    ResetExitRequest();
    WorkerEntry = ScriptThread;
}

TEST_F(Win32Splash, LoaderMessagesNameTheIdAndStatus) {
    EXPECT_EQ(LoadPngResource(134), nullptr);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].text, L"PNG Resource not found: ID 134");
    EXPECT_EQ(Boxes[0].title, L"Resource Error");
    EXPECT_EQ(Boxes[0].flags, 0x10u);
    EXPECT_FALSE(Boxes[0].owned);
}
