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
template <typename T, typename Argument>
T* NewGdiplusObject(Argument argument) {
    void* block = T::operator new(sizeof(T));
    if (block == nullptr) {
        return nullptr;
    }
    return ::new (block) T(argument);
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
