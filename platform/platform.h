// What the core needs from the operating system. Each backend (platform/linux, platform/win32)
// implements these; the core never includes a system header for them.
//
// Threads: the clock, the console, the file system, process start, the proxy lookup, text
// conversion and the log's path are called by the script worker; the file system also by the
// extraction's threads, where its functions say so (every one is safe on paths and files of the
// calling thread's own); quit requests by any thread for its own queue; everything else
// (pictures, frames, boxes, the window, timers, events) by the UI thread only.
#pragma once

#include <cstddef>
#include <string>

// --- Clock ---

// Seconds since the first call (that call takes the base and so returns about 0); never negative.
double GetElapsedSeconds();

// --- Event queue ---

// Posts a quit request with the exit code to the calling thread's own queue. Only that thread's
// event loop sees it: a request posted by the script worker reaches no loop.
void PlatformPostQuit(int exitCode);

// Takes the calling thread's pending quit request, if any.
bool PlatformTakeQuit(int* exitCode);

// --- Console ---

// Hides the console window attached to the process; does nothing when there is none.
void PlatformHideConsole();

// --- Log ---
// Everything the process writes to its standard output and error goes on where it went before
// and, line by line, into the user's launcher.log (see README.md). Only the main functions start
// and stop it: test programs that do not go through main write no log.

// Opens the log (rotating one that has grown too large) and routes the two streams through it;
// false, leaving the streams untouched, when the log cannot be opened. Main thread, first thing.
bool PlatformStartLog();

// Hands the streams back to where they went before and waits, bounded, until every line written
// so far is in the log. Later writes reach the streams only. Main thread; also runs at exit, and
// does nothing when there is no log or it has stopped already. False when the logger was still
// running when the wait ended.
bool PlatformStopLog();

// The log's path as GBK text, as the carried script shows it; null when no log is written. Any
// thread.
const char* PlatformLogPathGbk();

// --- File system ---
// Paths are narrow byte strings, passed on unchanged (on Windows read in the ANSI code page).

// Whether the path exists, as a file or as a folder.
bool PlatformPathExists(const std::string& path);

// Creates exactly one folder (its parent must exist); true on success.
bool PlatformCreateFolder(const std::string& path);

// Removes a file (never a folder); true on success. Any extracting thread may call it.
bool PlatformRemoveFile(const std::string& path);

// Gives an extracted file the read, write and execute bits for owner, group and other that its
// archive recorded, plus owner read and write, less what the process's umask takes away
// (((mode & 0777) | 0600) & ~umask; set-id and sticky bits are never applied), so a client program
// unpacked from a Unix-made archive can be started and a later extraction can write over it, and
// nothing becomes group- or other-writable that the umask keeps from being so. Does nothing where
// files carry no such bits. Any extracting thread may call it.
void PlatformApplyPermissions(const std::string& path, unsigned int unixMode);

// A file the extraction writes, from its creation to its close.
struct PlatformOutputFile;

// Creates the file, or empties the one at path, for writing; null when it cannot be opened.
// Any extracting thread may call the three output file functions, each on files of its own.
PlatformOutputFile* PlatformCreateOutputFile(const std::string& path);

// Writes all size bytes; false, with "<path>: <the system's words>", when any could not be
// written (the file is then failed).
bool PlatformWriteOutputFile(PlatformOutputFile* file, const char* bytes, size_t size,
                             std::string* reason);

// Closes and frees the file; false, with "<path>: <the system's words>", when a write or the close
// failed. With durable, the file's data is on the disk once PlatformFlushWrites has returned true:
// Linux leaves it all to that call's one syncfs; Windows keeps the file's handle (a bounded number
// of them, the oldest flushed by the closing thread beyond that) for that call to flush.
bool PlatformCloseOutputFile(PlatformOutputFile* file, bool durable, std::string* reason);

// Returns once every file closed as durable since the last call, and the folders made below
// folder, are on the disk: Linux flushes the folder's whole file system at once (syncfs); Windows
// flushes the files still held, several at a time, and closes them. False, with "<path>: <the
// system's words>" (the folder's, or the first file's whose flush failed), when it cannot. The
// script's thread calls it, once no file is being written.
bool PlatformFlushWrites(const std::string& folder, std::string* reason);

// Lets go of the files closed as durable that PlatformFlushWrites has not flushed yet, without
// waiting for the disk (an extraction that failed or was cancelled), and forgets a failed flush.
// The script's thread calls it, once no file is being written.
void PlatformDropWrites();

// Removes a file (never a folder), then puts the removal itself on the disk where the system
// allows (Linux: the folder's fsync; Windows: the folder's flush, which the system may refuse).
// False, with "<path>: <the system's words>", when the file cannot be removed (Linux: or its
// folder not flushed).
bool PlatformRemoveFileDurably(const std::string& path, std::string* reason);

// --- Hashing ---

enum class HashStatus {
    Done,      // digest holds the file's SHA-256
    Failed,    // *reason is "<path>: <the system's words>"
    Cancelled, // stop() returned true before a block
};

const size_t Sha256Size = 32;
// The bytes read per block, and so between two questions to stop().
const size_t HashBlockSize = 1 << 20;

// An SHA-256 fed in steps, so a download can be hashed as it is written. Owned by its caller and
// freed with PlatformSha256Free; the script worker may call all of these.
struct PlatformSha256;

// A hash over no bytes yet; null, with *reason, when the system's SHA-256 cannot start.
PlatformSha256* PlatformSha256New(std::string* reason);

// Adds the bytes; false, with *reason, when the system's SHA-256 fails.
bool PlatformSha256Add(PlatformSha256* sha, const void* data, size_t size, std::string* reason);

// Adds the bytes of the file at path, block by block, never whole, asking stop() before each and
// giving up as soon as it returns true; a file that cannot be read leaves part of it added.
HashStatus PlatformSha256AddFile(PlatformSha256* sha, const std::string& path, bool (*stop)(),
                                 std::string* reason);

// Writes the Sha256Size bytes of the digest of all the bytes added; no byte can be added after.
bool PlatformSha256Finish(PlatformSha256* sha, unsigned char* digest, std::string* reason);

void PlatformSha256Free(PlatformSha256* sha);

// Frees what the crypto library keeps for the calling thread (OpenSSL's error queue, which
// hashing and libcurl both use). The detached worker calls it as its last use of them: the
// process may exit while that thread is still ending, and then its own exit never frees it.
void PlatformEndThreadCrypto();

// --- Processes ---

// Starts the program at exePath with commandLine (the text that follows the program name, as
// given to CreateProcessW) in workingDir, with the launcher's environment, without waiting for it
// and keeping no handle. On success returns true and the process id; on failure false and the
// platform's error number. The three strings are bytes like the file system paths: on Windows
// they are converted from the active ANSI code page, so a user folder with non-ASCII letters names
// the same file here as in the extraction (never widened byte by byte with sign extension). On
// Linux the child gets the program path (made absolute against the launcher's working folder)
// and then the command line's words, split at spaces.
bool PlatformStartProcess(const std::string& exePath, const std::string& commandLine,
                          const std::string& workingDir, unsigned long* processIdOrError);

// --- Proxies ---

// Which way one transfer goes.
enum class ProxyRoute {
    Environment, // as libcurl itself reads http_proxy, https_proxy, all_proxy and no_proxy
    Direct,      // straight to the server, whatever the environment says
    Proxy,       // through the proxy given, which may ask for the logged-on user's credentials
};

// The route of a transfer of url, looked up anew for each transfer. Linux: always Environment.
// Windows: Environment when http_proxy, https_proxy or all_proxy is set; otherwise the user's own
// settings as WinHTTP reads them (automatic detection, then an automatic configuration script,
// then a fixed proxy, per scheme or for all, and its bypass list), Direct when they name no proxy
// for the URL or discovery fails. For Proxy, *proxy is libcurl's proxy URL ("http://host:port").
// The script worker may call it, one thread at a time; it can take seconds while a configuration
// script is fetched.
ProxyRoute PlatformProxyForUrl(const std::string& url, std::string* proxy);

// --- Resources ---

enum class ResourceStatus {
    Found,
    NotFound,  // no resource of that type and id
    NotLoaded, // found but could not be loaded
    NotLocked, // loaded but its bytes could not be reached
};

// Looks up the program's own resource of the given type ("PNG") and integer id. On Found, *bytes
// and *size describe bytes that live as long as the program.
ResourceStatus PlatformFindResource(const char* type, int id, const unsigned char** bytes,
                                    size_t* size);

// --- Pictures and the frame buffer ---

struct PlatformWindow; // the splash window
struct PlatformImage;  // a decoded picture
struct PlatformFrame;  // a 32-bit premultiplied ARGB buffer every frame is drawn into
struct PlatformCanvas; // drawing onto a frame, alive for one render only

// Starts and stops the picture library; nothing of it may be used after the stop.
void PlatformStartGraphics();
void PlatformStopGraphics();

// Decodes PNG bytes (palette with a transparency chunk, or 8-bit RGBA). On failure returns null
// and a nonzero status: the decoder's own, or -1 when no decoder object could be made at all.
PlatformImage* PlatformDecodePng(const unsigned char* bytes, size_t size, int* status);
void PlatformDeleteImage(PlatformImage* image);
// Size in pixels; 0 when the query fails.
unsigned PlatformImageWidth(const PlatformImage* image);
unsigned PlatformImageHeight(const PlatformImage* image);

// A frame of the picture's size holding the picture over transparent black; null on failure.
PlatformFrame* PlatformCreateFrame(const PlatformImage* picture);
void PlatformDeleteFrame(PlatformFrame* frame);

// Starts drawing onto the frame, source-over at 1:1; null when no drawing context can be made.
PlatformCanvas* PlatformBeginDrawing(PlatformFrame* frame);
// Makes every pixel fully transparent.
void PlatformClearCanvas(PlatformCanvas* canvas);
// Draws the whole picture into the rectangle.
void PlatformDrawImage(PlatformCanvas* canvas, const PlatformImage* image, int x, int y, int width,
                       int height);
// Draws the picture's part at (srcX, srcY) of the given size, unscaled, at (dstX, dstY).
void PlatformDrawImagePart(PlatformCanvas* canvas, const PlatformImage* image, int srcX, int srcY,
                           int width, int height, int dstX, int dstY);
// Draws one line of text, light and anti-aliased, centred on centreX and vertically in the band
// from top of the given height; a text wider than width is cut with an ellipsis. Empty text draws
// nothing.
void PlatformDrawText(PlatformCanvas* canvas, const std::wstring& text, int centreX, int top,
                      int width, int height);
// Finishes drawing and releases the context.
void PlatformEndDrawing(PlatformCanvas* canvas);

// --- Message boxes ---

const unsigned MessageBoxIconError = 0x10;

// Modal box with one OK button; returns once it is closed. owner may be null. UI thread (or a
// program without a window).
void PlatformMessageBox(PlatformWindow* owner, const std::wstring& text, const std::wstring& title,
                        unsigned flags);

// Closes, as if OK had been pressed, every box that PlatformMessageBox is running on the calling
// thread, so a window destroyed while its box is up does not leave the box waiting. UI thread.
void PlatformDismissMessageBoxes();

// --- Text ---

// The carried script's GBK bytes (code page 936) as a wide string; bytes that are not GBK are
// replaced, never rejected. Any thread.
std::wstring PlatformWideFromGbk(const std::string& bytes);

// Whether the byte opens a two-byte character of the code page narrow paths are read in, whose
// second byte may be 0x5C, a backslash on its own (Windows' ANSI code page: GBK, Big5, ...).
// Never on Linux, whose paths are bytes. Any thread.
bool PlatformIsPathLeadByte(unsigned char byte);

// --- One launcher at a time ---

// Claims the per-user launcher lock for the rest of the process's life (true, also on a later
// call). False when another launcher of the same user holds it. A lock that cannot be made at
// all does not stop the launcher, nor does a lock file that is not ours alone (Linux: a link, not
// a regular file, another user's or writable by others, which is never written); the launcher
// then runs without it and says so on the error stream. Called first thing, before the log or
// any window.
bool PlatformClaimSingleInstance();

// Brings the window of the launcher that holds the lock to the front, where the system allows
// (on Linux the display must be open).
void PlatformBringRunningLauncherToFront();

// --- Screen and window ---

// Width and height of the primary screen in pixels.
void PlatformScreenSize(int* width, int* height);

// Creates the borderless, per-pixel-transparent splash window at (x, y), not yet visible (it
// shows with its first PresentFrame). WindowOnCreate runs during creation; when it refuses, the
// window is destroyed again and null is returned, as for any other refused creation.
PlatformWindow* PlatformCreateWindow(const std::wstring& title, int x, int y, unsigned width,
                                     unsigned height);

// Lets a press on any pixel the picture (of the window's size) leaves fully transparent go
// through the window to whatever lies below, as a layered window does by itself on Windows; a
// press elsewhere still reaches the window. Does nothing with a null window.
void PlatformSetClickThrough(PlatformWindow* window, const PlatformImage* picture);

// Replaces all the window's pixels, alpha included, by the frame's; the window keeps its place.
void PlatformPresentFrame(PlatformWindow* window, const PlatformFrame* frame, unsigned width,
                          unsigned height);

// Has the window paint whatever it still has to paint, before the event loop starts.
void PlatformUpdateWindow(PlatformWindow* window);

// A repeating tick with this id delivered to the UI thread (WindowOnTimer); stop it.
void PlatformStartTimer(PlatformWindow* window, unsigned id, unsigned periodMs);
void PlatformStopTimer(PlatformWindow* window, unsigned id);

// Any thread: has the UI thread call WindowOnWake for the splash window soon, which also ends the
// UI thread's wait for an event. Does nothing while there is no window.
void PlatformWakeUi();

// Waits for the calling thread's next event and dispatches it. Returns false, with the code,
// when that thread's own quit request is taken instead (see PlatformPostQuit). Otherwise *code
// is the dispatched event's parameter: the timer id for a tick, 0 for anything else.
bool PlatformWaitEvent(int* code);
