// Linux splash window: a borderless GTK 3 top-level with an RGBA visual, painted only from the
// presented frame with the source operator so the picture's alpha becomes the window's shape.
// Translates GTK signals and GLib timeouts into the core's window handlers, and nowhere else.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "app/window_procedure.h"
#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

struct LinuxTimer {
    PlatformWindow* window;
    unsigned id;
    guint source;
};

struct PlatformWindow {
    GtkWidget* widget = nullptr;
    // The presented pixels, repainted whenever the server asks. A reference of our own, so the
    // window keeps them after the frame itself has been released, as a layered window would.
    cairo_surface_t* shown = nullptr;
    std::vector<LinuxTimer*> timers;
};

namespace {

// The window PlatformWakeUi's wake-ups go to, from its creation until its destruction. UI thread.
PlatformWindow* WakeTarget = nullptr;

void PaintFrame(cairo_t* cr, cairo_surface_t* pixels) {
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    if (pixels != nullptr) {
        cairo_surface_flush(pixels);
        cairo_set_source_surface(cr, pixels, 0, 0);
    } else {
        cairo_set_source_rgba(cr, 0, 0, 0, 0);
    }
    cairo_paint(cr);
}

gboolean OnDraw(GtkWidget*, cairo_t* cr, gpointer data) {
    PaintFrame(cr, static_cast<PlatformWindow*>(data)->shown);
    return TRUE;
}

gboolean OnButtonPress(GtkWidget* widget, GdkEventButton* event, gpointer) {
    if (event->type == GDK_BUTTON_PRESS && event->button == GDK_BUTTON_PRIMARY &&
        WindowOnHitTest(HitClient) == HitCaption) {
        gtk_window_begin_move_drag(GTK_WINDOW(widget), static_cast<gint>(event->button),
                                   static_cast<gint>(event->x_root),
                                   static_cast<gint>(event->y_root), event->time);
    }
    return TRUE;
}

void OnDestroy(GtkWidget*, gpointer data) {
    PlatformWindow* window = static_cast<PlatformWindow*>(data);
    if (WakeTarget == window) {
        WakeTarget = nullptr;
    }
    WindowOnDestroy(window);
    window->widget = nullptr;
    if (window->shown != nullptr) {
        cairo_surface_destroy(window->shown);
        window->shown = nullptr;
    }
}

// The pixels whose alpha is not zero, as one rectangle per run of them in each row; null when the
// picture has no alpha channel, and so no clear pixel.
cairo_region_t* VisibleRegion(cairo_surface_t* picture) {
    if (cairo_image_surface_get_format(picture) != CAIRO_FORMAT_ARGB32) {
        return nullptr;
    }
    cairo_surface_flush(picture);
    const unsigned char* data = cairo_image_surface_get_data(picture);
    const int width = cairo_image_surface_get_width(picture);
    const int height = cairo_image_surface_get_height(picture);
    const int stride = cairo_image_surface_get_stride(picture);
    std::vector<cairo_rectangle_int_t> runs;
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = data + static_cast<ptrdiff_t>(y) * stride;
        auto clear = [row](int x) {
            uint32_t pixel;
            std::memcpy(&pixel, row + x * 4, sizeof pixel);
            return (pixel >> 24) == 0;
        };
        for (int x = 0; x < width;) {
            while (x < width && clear(x)) {
                ++x;
            }
            const int start = x;
            while (x < width && !clear(x)) {
                ++x;
            }
            if (x > start) {
                runs.push_back(cairo_rectangle_int_t{start, y, x - start, 1});
            }
        }
    }
    return cairo_region_create_rectangles(runs.data(), static_cast<int>(runs.size()));
}

gboolean OnWake(gpointer) {
    if (WakeTarget != nullptr) {
        WindowOnWake(WakeTarget);
    }
    return G_SOURCE_REMOVE;
}

gboolean OnTimer(gpointer data) {
    LinuxTimer* timer = static_cast<LinuxTimer*>(data);
    LinuxDispatchedEventCode = static_cast<int>(timer->id);
    WindowOnTimer(timer->window, timer->id);
    return G_SOURCE_CONTINUE;
}

} // namespace

GtkWindow* LinuxGtkWindow(PlatformWindow* window) {
    return window->widget != nullptr ? GTK_WINDOW(window->widget) : nullptr;
}

void PlatformWorkArea(int* x, int* y, int* width, int* height) {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) {
        monitor = gdk_display_get_monitor(display, 0);
    }
    GdkRectangle area{0, 0, 0, 0};
    if (monitor != nullptr) {
        // The whole monitor where the window manager names no work area (_NET_WORKAREA).
        gdk_monitor_get_workarea(monitor, &area);
    }
    *x = area.x;
    *y = area.y;
    *width = area.width;
    *height = area.height;
}

// GTK scales a whole window by its own factor (GDK_SCALE) and X11 has no per-monitor DPI to
// follow, so the splash stays at its pictures' own size.
unsigned PlatformScreenDpi() {
    return 96;
}

PlatformWindow* PlatformCreateWindow(const std::wstring& title, int x, int y, unsigned width,
                                     unsigned height) {
    PlatformWindow* window = new PlatformWindow;
    GtkWidget* widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    window->widget = widget;
    gtk_window_set_title(GTK_WINDOW(widget), LinuxUtf8(title).c_str());
    gtk_window_set_decorated(GTK_WINDOW(widget), FALSE);
    gtk_window_set_resizable(GTK_WINDOW(widget), FALSE);
    gtk_widget_set_size_request(widget, static_cast<gint>(width), static_cast<gint>(height));
    gtk_window_move(GTK_WINDOW(widget), x, y);
    GdkVisual* visual = gdk_screen_get_rgba_visual(gtk_widget_get_screen(widget));
    if (visual != nullptr) {
        gtk_widget_set_visual(widget, visual);
    }
    gtk_widget_set_app_paintable(widget, TRUE);
    gtk_widget_add_events(widget, GDK_BUTTON_PRESS_MASK);
    g_signal_connect(widget, "draw", G_CALLBACK(OnDraw), window);
    g_signal_connect(widget, "button-press-event", G_CALLBACK(OnButtonPress), window);
    g_signal_connect(widget, "destroy", G_CALLBACK(OnDestroy), window);
    gtk_widget_realize(widget);
#ifdef GDK_WINDOWING_X11
    GdkWindow* gdkWindow = gtk_widget_get_window(widget);
    if (GDK_IS_X11_WINDOW(gdkWindow)) {
        LinuxAnnounceWindow(gdk_x11_window_get_xid(gdkWindow));
    }
#endif

    WakeTarget = window;
    if (!WindowOnCreate(window)) {
        gtk_widget_destroy(widget);
        delete window;
        return nullptr;
    }
    return window;
}

void PlatformSetClickThrough(PlatformWindow* window, const PlatformImage* picture) {
    if (window == nullptr || window->widget == nullptr) {
        return;
    }
    cairo_region_t* region = VisibleRegion(picture->surface);
    // Kept by the widget, so the shape outlives an unmap and is set again on a new realize.
    gtk_widget_input_shape_combine_region(window->widget, region);
    if (region != nullptr) {
        cairo_region_destroy(region);
    }
}

void PlatformPresentFrame(PlatformWindow* window, const PlatformFrame* frame, unsigned width,
                          unsigned height) {
    if (window == nullptr || window->widget == nullptr) {
        return;
    }
    if (window->shown != frame->surface) {
        if (window->shown != nullptr) {
            cairo_surface_destroy(window->shown);
        }
        window->shown = cairo_surface_reference(frame->surface);
    }
    // Like a layered window, the splash stays unmapped until its first frame.
    if (!gtk_widget_get_visible(window->widget)) {
        gtk_widget_show(window->widget);
    }
    GdkWindow* gdkWindow = gtk_widget_get_window(window->widget);
    const cairo_rectangle_int_t area{0, 0, static_cast<int>(width), static_cast<int>(height)};
    cairo_region_t* region = cairo_region_create_rectangle(&area);
    GdkDrawingContext* context = gdk_window_begin_draw_frame(gdkWindow, region);
    PaintFrame(gdk_drawing_context_get_cairo_context(context), window->shown);
    gdk_window_end_draw_frame(gdkWindow, context);
    cairo_region_destroy(region);
    gdk_display_flush(gdk_window_get_display(gdkWindow));
}

void PlatformStartTimer(PlatformWindow* window, unsigned id, unsigned periodMs) {
    if (window == nullptr) {
        return;
    }
    PlatformStopTimer(window, id);
    LinuxTimer* timer = new LinuxTimer{window, id, 0};
    timer->source = g_timeout_add(periodMs, OnTimer, timer);
    window->timers.push_back(timer);
}

void PlatformWakeUi() {
    // Safe from any thread: attaching a source to the default context wakes the loop waiting on it.
    g_idle_add_full(G_PRIORITY_DEFAULT, OnWake, nullptr, nullptr);
}

void PlatformStopTimer(PlatformWindow* window, unsigned id) {
    if (window == nullptr) {
        return;
    }
    auto& timers = window->timers;
    auto found = std::find_if(timers.begin(), timers.end(),
                              [id](const LinuxTimer* timer) { return timer->id == id; });
    if (found != timers.end()) {
        g_source_remove((*found)->source);
        delete *found;
        timers.erase(found);
    }
}

void LinuxDestroyWindow(PlatformWindow* window) {
    if (window->widget != nullptr) {
        gtk_widget_destroy(window->widget);
    }
    while (!window->timers.empty()) {
        PlatformStopTimer(window, window->timers.front()->id);
    }
    delete window;
}

// GTK paints from its own main loop; there is nothing pending to flush here.
void PlatformUpdateWindow(PlatformWindow* /*window*/) {}
