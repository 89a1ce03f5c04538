// Linux pictures and frames: cairo image surfaces (premultiplied ARGB32), decoded by cairo's PNG
// reader, which handles palette pictures with a transparency chunk as well as 8-bit RGBA. Text is
// laid out by Pango and drawn through pangocairo.
#include <cstring>
#include <new>

#include <pango/pangocairo.h>

#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

struct PlatformCanvas {
    cairo_t* cr;
    cairo_surface_t* target;
    // A requested clear not yet done: a following full-size 1:1 draw can stand in for it.
    bool clearPending;
};

namespace {

struct ByteReader {
    const unsigned char* bytes;
    size_t size;
    size_t offset;
};

cairo_status_t ReadBytes(void* closure, unsigned char* data, unsigned int length) {
    ByteReader* reader = static_cast<ByteReader*>(closure);
    if (length > reader->size - reader->offset) {
        return CAIRO_STATUS_READ_ERROR;
    }
    std::memcpy(data, reader->bytes + reader->offset, length);
    reader->offset += length;
    return CAIRO_STATUS_SUCCESS;
}

// The status line's layout, kept from frame to frame: a text laid out once is drawn again on
// every tick until it changes.
PangoContext* TextContext = nullptr;
PangoLayout* TextLayout = nullptr;
std::wstring LaidOutText;
int LaidOutWidth = -1;

// A CJK font from the distribution first (scripts/install-deps.sh installs WenQuanYi Micro Hei),
// then other common ones; fontconfig falls back further, glyph by glyph.
const char* const TextFonts = "WenQuanYi Micro Hei, Noto Sans CJK SC, Source Han Sans SC, "
                              "Droid Sans Fallback, sans-serif";
int LaidOutPixels = -1;

PangoLayout* TextLayoutFor(const std::wstring& text, int width, int pixels) {
    if (TextLayout == nullptr) {
        TextContext = pango_font_map_create_context(pango_cairo_font_map_get_default());
        // Grey anti-aliasing: sub-pixel colours would show as fringes on a per-pixel-alpha
        // window, and the same options everywhere keep the frame the same on every screen.
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
        cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
        cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
        pango_cairo_context_set_font_options(TextContext, options);
        cairo_font_options_destroy(options);

        TextLayout = pango_layout_new(TextContext);
        pango_layout_set_single_paragraph_mode(TextLayout, TRUE);
        pango_layout_set_ellipsize(TextLayout, PANGO_ELLIPSIZE_END);
        pango_layout_set_alignment(TextLayout, PANGO_ALIGN_CENTER);
        LaidOutText.clear();
        LaidOutWidth = -1;
        LaidOutPixels = -1;
    }
    if (pixels != LaidOutPixels) {
        PangoFontDescription* font = pango_font_description_from_string(TextFonts);
        pango_font_description_set_absolute_size(font, pixels * PANGO_SCALE);
        pango_layout_set_font_description(TextLayout, font);
        pango_font_description_free(font);
        LaidOutPixels = pixels;
    }
    if (text != LaidOutText) {
        const std::string utf8 = LinuxUtf8(text);
        pango_layout_set_text(TextLayout, utf8.data(), static_cast<int>(utf8.size()));
        LaidOutText = text;
    }
    if (width != LaidOutWidth) {
        pango_layout_set_width(TextLayout, width * PANGO_SCALE);
        LaidOutWidth = width;
    }
    return TextLayout;
}

} // namespace

// cairo needs no global start; the stop frees the text layout.
void PlatformStartGraphics() {}

void PlatformStopGraphics() {
    if (TextLayout != nullptr) {
        g_object_unref(TextLayout);
        g_object_unref(TextContext);
        TextLayout = nullptr;
        TextContext = nullptr;
    }
}

PlatformImage* PlatformDecodePng(const unsigned char* bytes, size_t size, int* status) {
    ByteReader reader{bytes, size, 0};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(ReadBytes, &reader);
    const cairo_status_t decoded = cairo_surface_status(surface);
    if (decoded != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        *status = static_cast<int>(decoded);
        return nullptr;
    }
    PlatformImage* image = new (std::nothrow) PlatformImage{surface};
    if (image == nullptr) {
        cairo_surface_destroy(surface);
        *status = -1;
        return nullptr;
    }
    *status = 0;
    return image;
}

void PlatformDeleteImage(PlatformImage* image) {
    cairo_surface_destroy(image->surface);
    delete image;
}

unsigned PlatformImageWidth(const PlatformImage* image) {
    return image != nullptr ? static_cast<unsigned>(cairo_image_surface_get_width(image->surface))
                            : 0;
}

unsigned PlatformImageHeight(const PlatformImage* image) {
    return image != nullptr ? static_cast<unsigned>(cairo_image_surface_get_height(image->surface))
                            : 0;
}

PlatformImage* PlatformScaleImage(const PlatformImage* image, unsigned width, unsigned height) {
    const int imageWidth = cairo_image_surface_get_width(image->surface);
    const int imageHeight = cairo_image_surface_get_height(image->surface);
    if (width == 0 || height == 0 || imageWidth <= 0 || imageHeight <= 0) {
        return nullptr;
    }
    cairo_surface_t* surface = cairo_image_surface_create(
        CAIRO_FORMAT_ARGB32, static_cast<int>(width), static_cast<int>(height));
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    cairo_t* cr = cairo_create(surface);
    cairo_scale(cr, static_cast<double>(width) / imageWidth,
                static_cast<double>(height) / imageHeight);
    cairo_set_source_surface(cr, image->surface, 0, 0);
    // The edges repeat their own pixels rather than fade into the transparent outside.
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    // Bilinear when enlarging; cairo's "best", a wide convolution, takes a quarter of a second
    // for the background at 200 %, for no difference the eye sees at that scale.
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    PlatformImage* scaled = new (std::nothrow) PlatformImage{surface};
    if (scaled == nullptr) {
        cairo_surface_destroy(surface);
    }
    return scaled;
}

PlatformFrame* PlatformCreateFrame(const PlatformImage* picture) {
    const int width = cairo_image_surface_get_width(picture->surface);
    const int height = cairo_image_surface_get_height(picture->surface);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    // A new image surface is all transparent black; the picture goes over it.
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_surface(cr, picture->surface, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    return new PlatformFrame{surface};
}

void PlatformDeleteFrame(PlatformFrame* frame) {
    cairo_surface_destroy(frame->surface);
    delete frame;
}

PlatformCanvas* PlatformBeginDrawing(PlatformFrame* frame) {
    cairo_t* cr = cairo_create(frame->surface);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr);
        return nullptr;
    }
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
    return new PlatformCanvas{cr, frame->surface, false};
}

void PlatformClearCanvas(PlatformCanvas* canvas) {
    canvas->clearPending = true;
}

// Does a clear that no draw has stood in for.
static void FinishClear(PlatformCanvas* canvas) {
    if (!canvas->clearPending) {
        return;
    }
    canvas->clearPending = false;
    cairo_save(canvas->cr);
    cairo_set_operator(canvas->cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(canvas->cr);
    cairo_restore(canvas->cr);
}

void PlatformDrawImage(PlatformCanvas* canvas, const PlatformImage* image, int x, int y, int width,
                       int height) {
    const int imageWidth = cairo_image_surface_get_width(image->surface);
    const int imageHeight = cairo_image_surface_get_height(image->surface);
    if (width <= 0 || height <= 0 || imageWidth <= 0 || imageHeight <= 0) {
        return;
    }
    cairo_t* cr = canvas->cr;
    cairo_save(cr);
    // Source-over onto a cleared frame is a plain copy: when the picture covers the whole frame
    // at 1:1, copying it does the clear and the draw in one pass, with the same result.
    if (canvas->clearPending && x == 0 && y == 0 && width == imageWidth && height == imageHeight &&
        width == cairo_image_surface_get_width(canvas->target) &&
        height == cairo_image_surface_get_height(canvas->target)) {
        canvas->clearPending = false;
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    }
    FinishClear(canvas);
    cairo_rectangle(cr, x, y, width, height);
    cairo_clip(cr);
    cairo_translate(cr, x, y);
    if (width != imageWidth || height != imageHeight) {
        cairo_scale(cr, static_cast<double>(width) / imageWidth,
                    static_cast<double>(height) / imageHeight);
    }
    cairo_set_source_surface(cr, image->surface, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
}

void PlatformDrawImagePart(PlatformCanvas* canvas, const PlatformImage* image, int srcX, int srcY,
                           int width, int height, int dstX, int dstY) {
    if (width <= 0 || height <= 0) {
        return;
    }
    FinishClear(canvas);
    cairo_t* cr = canvas->cr;
    cairo_save(cr);
    cairo_rectangle(cr, dstX, dstY, width, height);
    cairo_clip(cr);
    cairo_set_source_surface(cr, image->surface, dstX - srcX, dstY - srcY);
    cairo_paint(cr);
    cairo_restore(cr);
}

void PlatformDrawText(PlatformCanvas* canvas, const std::wstring& text, int centreX, int top,
                      int width, int height, int textPixels) {
    if (text.empty() || width <= 0 || height <= 0 || textPixels <= 0) {
        return;
    }
    FinishClear(canvas);
    PangoLayout* layout = TextLayoutFor(text, width, textPixels);
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, nullptr, &logical);
    cairo_t* cr = canvas->cr;
    cairo_save(cr);
    cairo_set_source_rgb(cr, 0.90, 0.92, 0.95);
    cairo_move_to(cr, centreX - width / 2, top + (height - logical.height) / 2);
    pango_cairo_show_layout(cr, layout);
    cairo_restore(cr);
}

void PlatformEndDrawing(PlatformCanvas* canvas) {
    FinishClear(canvas);
    cairo_destroy(canvas->cr);
    delete canvas;
}

uint32_t LinuxFramePixel(const PlatformFrame* frame, int x, int y) {
    cairo_surface_flush(frame->surface);
    const unsigned char* data = cairo_image_surface_get_data(frame->surface);
    const int stride = cairo_image_surface_get_stride(frame->surface);
    uint32_t pixel;
    std::memcpy(&pixel, data + static_cast<ptrdiff_t>(y) * stride + x * 4, sizeof pixel);
    return pixel;
}
