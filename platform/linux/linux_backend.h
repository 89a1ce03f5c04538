// State shared by the Linux backend's files (GTK 3 and cairo). The core never includes this;
// tests may, to look inside a frame or to carry resources of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <cairo.h>
#include <sys/types.h>

struct PlatformImage {
    cairo_surface_t* surface;
};

struct PlatformFrame {
    cairo_surface_t* surface;
};

// A table of carried resources, ended by an entry whose type is null.
struct LinuxResource {
    const char* type;
    int id;
    const unsigned char* bytes;
    size_t size;
};

// Replaces the table the lookups use (null restores the program's own).
void LinuxUseResourceTable(const LinuxResource* table);

// The frame's pixel at (x, y) as premultiplied ARGB (alpha in the top byte).
uint32_t LinuxFramePixel(const struct PlatformFrame* frame, int x, int y);

// Destroys the window if it still exists and frees its state. The launcher itself never does
// (the process ends with the window up); tests that make several windows do.
void LinuxDestroyWindow(struct PlatformWindow* window);

// The GTK window behind a platform window (null once destroyed).
typedef struct _GtkWindow GtkWindow;
GtkWindow* LinuxGtkWindow(struct PlatformWindow* window);

// UTF-8 text of a wide string (UTF-32 on Linux).
std::string LinuxUtf8(const std::wstring& text);

// The parameter of the event being dispatched, for PlatformWaitEvent: the timer id during a tick.
extern int LinuxDispatchedEventCode;

// The process's umask, read on the first call. main calls it first thing, before any other thread
// exists, since where /proc cannot tell it, reading it means setting it and setting it back.
mode_t LinuxUmask();

// Where the one-launcher lock lies: in the folder named by the user id below LinuxUserRuntimeRoot
// ("/run/user") when the system made it for the user, otherwise in LinuxSharedTemporaryFolder
// ("/tmp"). Test builds point both into a folder of the test's own; the program never changes
// them, and reads no environment variable for them.
extern const char* LinuxUserRuntimeRoot;
extern const char* LinuxSharedTemporaryFolder;

// Writes the splash window's X id into the instance lock, for a second launcher to raise it.
void LinuxAnnounceWindow(unsigned long windowId);

// How a started process loses the launcher's descriptors, in the order the start tries them.
// Tests start further down to take the fall-backs of a kernel without close_range (before 5.11)
// and of a system without /proc; the program never changes it.
enum class LinuxCloseOnExecWay { CloseRange, ProcSelfFd, EveryNumber };
extern LinuxCloseOnExecWay LinuxFirstCloseOnExecWay;

// What descriptors 1 and 2 were before the log took them over (-1 for one that was closed), or
// 1 and 2 without a log. A started program gets these, never the log's pipes.
void LinuxOriginalStreams(int* out, int* err);
