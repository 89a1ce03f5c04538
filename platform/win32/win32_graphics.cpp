// Win32 pictures and frames: PNG decoded by GDI+ from a memory stream, the frame a 32-bit GDI
// bitmap exported from the background, drawn with GDI+ through a memory device context and pushed
// to the layered window with per-pixel alpha.
#include <cstring>
#include <new>

#include <shlwapi.h>

#include "platform/platform.h"
#include "platform/win32/win32_backend.h"

ULONG_PTR GdiplusToken = 0;

struct PlatformCanvas {
    HDC context;
    HGDIOBJ previous;
    Gdiplus::Graphics* graphics;
    PlatformFrame* frame;
};

namespace {

// GDI+ objects take their memory from GdipAlloc through GdiplusBase's own operator new, which
// gives null when it runs out rather than throwing, and a new-expression would then construct at
// null. Allocating first lets the failure be seen; delete still frees through GdipFree.
template <typename T, typename... Arguments>
T* NewGdiplusObject(Arguments... arguments) {
    void* block = T::operator new(sizeof(T));
    if (block == nullptr) {
        return nullptr;
    }
    return ::new (block) T(arguments...);
}

// The status line's font, made on first use and kept until GDI+ stops or another size is asked.
Gdiplus::Font* TextFont = nullptr;
int TextFontPixels = 0;

// "Microsoft YaHei" (Vista and later), then the CJK fonts of older or trimmed systems, then the
// CJK fonts Wine offers from a Linux system's own fonts (a stock prefix has none of the former and
// no generic sans serif either), then the sans serif fonts every Windows has, then GDI+'s generic
// sans serif; null when none can be made.
Gdiplus::Font* MakeTextFont(int pixels) {
    const Gdiplus::REAL size = static_cast<Gdiplus::REAL>(pixels);
    const wchar_t* const names[] = {
        L"Microsoft YaHei",      L"SimHei", L"SimSun", L"WenQuanYi Micro Hei", L"Noto Sans CJK SC",
        L"Microsoft Sans Serif", L"Tahoma"};
    for (const wchar_t* name : names) {
        const Gdiplus::FontFamily family(name);
        if (!family.IsAvailable()) {
            continue;
        }
        Gdiplus::Font* font = NewGdiplusObject<Gdiplus::Font>(
            &family, size, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
        if (font != nullptr && font->GetLastStatus() == Gdiplus::Ok) {
            return font;
        }
        delete font;
    }
    // Last, as the header's wrapper keeps this family in a global of its own for good.
    const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif();
    if (generic == nullptr) {
        return nullptr;
    }
    Gdiplus::Font* font = NewGdiplusObject<Gdiplus::Font>(generic, size, Gdiplus::FontStyleRegular,
                                                          Gdiplus::UnitPixel);
    if (font != nullptr && font->GetLastStatus() != Gdiplus::Ok) {
        delete font;
        return nullptr;
    }
    return font;
}

} // namespace

void PlatformStartGraphics() {
    // Version 1, no debug callback, background thread and external codecs not suppressed. A
    // failed start is not checked here: the picture loads that follow fail and say so.
    const Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&GdiplusToken, &input, nullptr) != Gdiplus::Ok) {
        GdiplusToken = 0;
    }
}

void PlatformStopGraphics() {
    delete TextFont;
    TextFont = nullptr;
    TextFontPixels = 0;
    if (GdiplusToken != 0) {
        Gdiplus::GdiplusShutdown(GdiplusToken);
        GdiplusToken = 0;
    }
}

PlatformImage* PlatformDecodePng(const unsigned char* bytes, size_t size, int* status) {
    Gdiplus::Bitmap* bitmap = nullptr;
    // The stream holds its own copy of the bytes and is released as soon as the picture is made.
    IStream* stream = SHCreateMemStream(bytes, static_cast<UINT>(size));
    if (stream != nullptr) {
        bitmap = NewGdiplusObject<Gdiplus::Bitmap>(stream);
        stream->Release();
    }
    if (bitmap == nullptr) {
        *status = -1;
        return nullptr;
    }
    const Gdiplus::Status created = bitmap->GetLastStatus();
    if (created != Gdiplus::Ok) {
        delete bitmap;
        *status = static_cast<int>(created);
        return nullptr;
    }
    PlatformImage* image = new (std::nothrow) PlatformImage{bitmap};
    if (image == nullptr) {
        delete bitmap;
        *status = -1;
        return nullptr;
    }
    *status = 0;
    return image;
}

void PlatformDeleteImage(PlatformImage* image) {
    delete image->bitmap;
    delete image;
}

unsigned PlatformImageWidth(const PlatformImage* image) {
    return image != nullptr ? image->bitmap->GetWidth() : 0;
}

unsigned PlatformImageHeight(const PlatformImage* image) {
    return image != nullptr ? image->bitmap->GetHeight() : 0;
}

PlatformImage* PlatformScaleImage(const PlatformImage* image, unsigned width, unsigned height) {
    const INT imageWidth = static_cast<INT>(image->bitmap->GetWidth());
    const INT imageHeight = static_cast<INT>(image->bitmap->GetHeight());
    if (width == 0 || height == 0 || imageWidth <= 0 || imageHeight <= 0) {
        return nullptr;
    }
    Gdiplus::Bitmap* scaled = NewGdiplusObject<Gdiplus::Bitmap>(
        static_cast<INT>(width), static_cast<INT>(height), PixelFormat32bppPARGB);
    if (scaled == nullptr || scaled->GetLastStatus() != Gdiplus::Ok) {
        delete scaled;
        return nullptr;
    }
    Gdiplus::Status status = Gdiplus::GenericError;
    Gdiplus::Graphics* graphics = NewGdiplusObject<Gdiplus::Graphics>(scaled);
    if (graphics != nullptr && graphics->GetLastStatus() == Gdiplus::Ok) {
        graphics->SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
        graphics->SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        graphics->SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
        // The filter reads past the edges: mirrored pixels there, not the transparent outside,
        // so an opaque edge stays opaque.
        Gdiplus::ImageAttributes edges;
        edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
        status = graphics->DrawImage(
            image->bitmap, Gdiplus::Rect(0, 0, static_cast<INT>(width), static_cast<INT>(height)),
            0, 0, imageWidth, imageHeight, Gdiplus::UnitPixel, &edges);
    }
    delete graphics;
    PlatformImage* copy =
        status == Gdiplus::Ok ? new (std::nothrow) PlatformImage{scaled} : nullptr;
    if (copy == nullptr) {
        delete scaled;
    }
    return copy;
}

PlatformFrame* PlatformCreateFrame(const PlatformImage* picture) {
    HBITMAP handle = nullptr;
    // Background colour 0: transparent black under the picture's own transparent parts.
    if (picture->bitmap->GetHBITMAP(Gdiplus::Color(0, 0, 0, 0), &handle) != Gdiplus::Ok ||
        handle == nullptr) {
        return nullptr;
    }
    PlatformFrame* frame = new PlatformFrame{handle, nullptr, 0};
    DIBSECTION section;
    if (GetObjectW(handle, sizeof section, &section) == sizeof section &&
        section.dsBm.bmBits != nullptr && section.dsBm.bmBitsPixel == 32) {
        frame->bits = section.dsBm.bmBits;
        frame->byteCount = static_cast<size_t>(section.dsBm.bmWidthBytes) *
                           static_cast<size_t>(section.dsBm.bmHeight);
    }
    return frame;
}

void PlatformDeleteFrame(PlatformFrame* frame) {
    DeleteObject(frame->bitmap);
    delete frame;
}

PlatformCanvas* PlatformBeginDrawing(PlatformFrame* frame) {
    HDC context = CreateCompatibleDC(nullptr);
    if (context == nullptr) {
        return nullptr;
    }
    const HGDIOBJ previous = SelectObject(context, frame->bitmap);
    Gdiplus::Graphics* graphics = NewGdiplusObject<Gdiplus::Graphics>(context);
    PlatformCanvas* canvas =
        graphics != nullptr ? new (std::nothrow) PlatformCanvas{context, previous, graphics, frame}
                            : nullptr;
    if (canvas == nullptr) {
        delete graphics;
        SelectObject(context, previous);
        DeleteDC(context);
        return nullptr;
    }
    graphics->SetCompositingMode(Gdiplus::CompositingModeSourceOver);
    graphics->SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics->SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    return canvas;
}

void PlatformClearCanvas(PlatformCanvas* canvas) {
    if (canvas->frame->bits != nullptr) {
        // Zero bytes are transparent black in premultiplied ARGB; GDI must have finished with
        // the bits before they are written directly.
        GdiFlush();
        std::memset(canvas->frame->bits, 0, canvas->frame->byteCount);
        return;
    }
    canvas->graphics->SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
    canvas->graphics->Clear(Gdiplus::Color(0, 0, 0, 0));
    canvas->graphics->SetCompositingMode(Gdiplus::CompositingModeSourceOver);
}

void PlatformDrawImage(PlatformCanvas* canvas, const PlatformImage* image, int x, int y, int width,
                       int height) {
    canvas->graphics->DrawImage(image->bitmap, x, y, width, height);
}

void PlatformDrawImagePart(PlatformCanvas* canvas, const PlatformImage* image, int srcX, int srcY,
                           int width, int height, int dstX, int dstY) {
    canvas->graphics->DrawImage(image->bitmap, Gdiplus::Rect(dstX, dstY, width, height), srcX, srcY,
                                width, height, Gdiplus::UnitPixel);
}

void PlatformDrawText(PlatformCanvas* canvas, const std::wstring& text, int centreX, int top,
                      int width, int height, int textPixels) {
    if (text.empty() || width <= 0 || height <= 0 || textPixels <= 0) {
        return;
    }
    if (TextFont == nullptr || TextFontPixels != textPixels) {
        delete TextFont;
        TextFont = MakeTextFont(textPixels);
        TextFontPixels = TextFont != nullptr ? textPixels : 0;
        if (TextFont == nullptr) {
            return;
        }
    }
    Gdiplus::Graphics* graphics = canvas->graphics;
    // Grey anti-aliasing: ClearType's colour fringes and GDI's text (which leaves alpha 0) do not
    // suit a window with per-pixel alpha.
    graphics->SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
    Gdiplus::StringFormat format;
    format.SetAlignment(Gdiplus::StringAlignmentCenter);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    const Gdiplus::SolidBrush brush(Gdiplus::Color(255, 230, 235, 242));
    const Gdiplus::RectF band(static_cast<Gdiplus::REAL>(centreX - width / 2),
                              static_cast<Gdiplus::REAL>(top), static_cast<Gdiplus::REAL>(width),
                              static_cast<Gdiplus::REAL>(height));
    graphics->DrawString(text.c_str(), static_cast<INT>(text.size()), TextFont, band, &format,
                         &brush);
}

void PlatformEndDrawing(PlatformCanvas* canvas) {
    delete canvas->graphics;
    SelectObject(canvas->context, canvas->previous);
    DeleteDC(canvas->context);
    delete canvas;
}

void PlatformPresentFrame(PlatformWindow* window, const PlatformFrame* frame, unsigned width,
                          unsigned height) {
    if (window == nullptr || window->handle == nullptr) {
        return;
    }
    HDC screen = GetDC(nullptr);
    HDC source = CreateCompatibleDC(screen);
    if (source != nullptr) {
        const HGDIOBJ previous = SelectObject(source, frame->bitmap);
        SIZE size{static_cast<LONG>(width), static_cast<LONG>(height)};
        POINT origin{0, 0};
        // Per-pixel alpha from the frame, whose colours are already multiplied by it.
        BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        UpdateLayeredWindow(window->handle, screen, nullptr, &size, source, &origin, 0, &blend,
                            ULW_ALPHA);
        SelectObject(source, previous);
        DeleteDC(source);
    }
    ReleaseDC(nullptr, screen);
}
