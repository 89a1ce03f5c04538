// What the core needs from the operating system. Each backend (platform/linux, platform/win32)
// implements these; the core never includes a system header for them.
//
// Threads: the clock, the console, the file system, process start, the proxy lookup, text
// conversion and the log's path are called by the script worker; the file system also by the
// extraction's threads, where its functions say so (every one is safe on paths and files of the
// calling thread's own); quit requests by any thread for its own queue; everything else
// (pictures, frames, boxes, the screen, the window, timers, events) by the UI thread only.
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

// The log's path as UTF-8 text, as the carried script shows it; null when no log is written. Any
// thread.
const char* PlatformLogPath();

// --- File system ---
// Paths are UTF-8 (on Linux, bytes passed on unchanged); Windows converts them for its -W calls,
// so a name the ANSI code page cannot hold works, and gives a path too long for MAX_PATH the
// \\?\ form.

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

// Creates the file, or empties the one at path, for writing. Null when it cannot be opened, with
// *reason ("<path>: <the system's words>") and *busy telling whether another program has the file
// open so that it cannot be written now, which may pass (Windows: a sharing or lock violation, or
// access denied on a file that exists and is neither read-only nor a folder; Linux: a program
// running from it). Any extracting thread may call the three output file functions, each on files
// of its own.
PlatformOutputFile* PlatformCreateOutputFile(const std::string& path, bool* busy,
                                             std::string* reason);

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

// The bytes the calling user may still write on the file system that holds path (an existing
// folder), and *volume, where that file system begins: the drive's root on Windows ("C:\"), the
// mount point on Linux. False, with "<path>: <the system's words>", when the system cannot tell.
bool PlatformFreeSpace(const std::string& path, unsigned long long* bytes, std::string* volume,
                       std::string* reason);

// The size of the file at path; false when there is no such file (or it cannot be asked).
bool PlatformFileSize(const std::string& path, unsigned long long* bytes);

// --- The user's folders ---

enum class UserFolder {
    Documents,    // the user's Documents folder
    LocalAppData, // the user's local application data, never roamed nor synced
};

// The user's folder of that kind as UTF-8 with "/" between names, made when missing. Windows: the
// folder the system names (SHGetKnownFolderPath), wherever it was moved (OneDrive, a policy, a
// renamed account). Linux: "C:/Users/<USERNAME>/Documents" or "C:/Users/<USERNAME>/AppData/Local",
// relative to the working folder, which the demo and the tests rely on (not made). False with
// *reason when there is none. The script worker calls it.
bool PlatformUserFolder(UserFolder kind, std::string* path, std::string* reason);

// --- Zip archives ---

// Opens the zip archive at path for minizip's unzip calls: an unzFile, or null when the file cannot
// be opened or is no zip archive. Windows reads it through its own 64-bit file calls on the wide
// path (minizip's C runtime functions, as built there, cut seek offsets to 32 bits, so an archive
// of 2 GiB or more would not open); Linux through unzOpen64. Any thread.
void* PlatformOpenZip(const std::string& path);

// --- The script's file functions ---

struct lua_State;

// Makes the script's io.open, os.remove, os.rename and os.getenv take UTF-8 names, and its files'
// seek count in 64 bits, under the same names and with the same results as Lua's own: Windows
// replaces them (Lua's own read names in the ANSI code page and seek with a 32-bit long); Linux
// keeps Lua's own, which do both already. After luaL_openlibs; the script worker.
void PlatformOpenScriptFiles(lua_State* L);

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

// Writes the Sha256Size bytes of the digest of the bytes added so far, and more may be added
// after; false, with *reason, when the system's SHA-256 fails.
bool PlatformSha256Peek(const PlatformSha256* sha, unsigned char* digest, std::string* reason);

void PlatformSha256Free(PlatformSha256* sha);

// Fills bytes with size bytes from the system's random source; false when it cannot. Any thread.
bool PlatformRandomBytes(void* bytes, size_t size);

// Frees what the crypto library keeps for the calling thread (OpenSSL's error queue, which
// hashing and libcurl both use). The detached worker calls it as its last use of them: the
// process may exit while that thread is still ending, and then its own exit never frees it.
void PlatformEndThreadCrypto();

// --- Processes ---

// Starts the program at exePath with commandLine (the text that follows the program name, as
// given to CreateProcessW) in workingDir, with the launcher's environment, without waiting for it
// and keeping no handle. On success returns true and the process id; on failure false and the
// platform's error number. The three strings are bytes like the file system paths: on Windows
// they are UTF-8 like the paths, so a user folder with letters of any script names the same file
// here as in the extraction. On
// Linux the child gets the program path (made absolute against the launcher's working folder)
// and then the command line's words, split at spaces.
bool PlatformStartProcess(const std::string& exePath, const std::string& commandLine,
                          const std::string& workingDir, unsigned long* processIdOrError);

// Whether an error PlatformStartProcess gave means that another program holds the program's file
// so that it cannot be started now, which may pass (Windows: a sharing or lock violation, e.g. a
// virus scanner reading a program just written; Linux: the file is open for writing).
bool PlatformIsBusyError(unsigned long error);

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

// A copy of the picture resampled to width × height with a good filter (GDI+'s high
// quality bicubic, cairo's good), for drawing at a monitor's scale; null on failure.
PlatformImage* PlatformScaleImage(const PlatformImage* image, unsigned width, unsigned height);

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
// Draws one line of text, light and anti-aliased, in a font textPixels high, centred on centreX
// and vertically in the band from top of the given height; a text wider than width is cut with an
// ellipsis. Empty text draws nothing.
void PlatformDrawText(PlatformCanvas* canvas, const std::wstring& text, int centreX, int top,
                      int width, int height, int textPixels);
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

// The carried script's UTF-8 text as a wide string; bytes that are not UTF-8 are replaced, never
// rejected. Any thread.
std::wstring PlatformWideFromUtf8(const std::string& bytes);

// A zip entry name stored without the archive's UTF-8 flag, as UTF-8: Windows reads it in the
// system's ANSI code page, as the Windows tool that wrote it did; Linux keeps its bytes. Bytes
// that do not convert are kept, for the path's conversion to refuse. Any thread.
std::string PlatformUtf8FromAnsiName(const std::string& bytes);

// Whether file names follow Windows' rules (no device names, none of < > : " | ? *, no trailing
// dot or space), which the extraction then checks rather than let a name be written as another
// one. True on Windows, false on Linux. Any thread.
bool PlatformNamesFollowWindowsRules();

// --- One launcher at a time ---

// Claims the per-user launcher lock for the rest of the process's life (true, also on a later
// call). False when another launcher of the same user holds it, whatever either's environment. A
// lock that cannot be made at all does not stop the launcher, nor does a lock file that is not ours
// alone (Linux: a link, not a regular file, another user's or writable by others, which is never
// written); the launcher then runs without it and says so on the error stream. Called first thing,
// before the log or any window.
bool PlatformClaimSingleInstance();

// Brings the window of the launcher that holds the lock to the front, where the system allows
// (on Linux the display must be open).
void PlatformBringRunningLauncherToFront();

// --- Screen and window ---

// The primary monitor's work area (the screen less the taskbar and docked bars) in pixels: its
// top-left corner and size.
void PlatformWorkArea(int* x, int* y, int* width, int* height);

// The primary monitor's DPI as the splash is to be drawn for it: 96 at 100 %, 144 at 150 %, 192
// at 200 %. Windows: the monitor's own (Windows 8.1 and later, looked up at run time), else the
// system's; 96 where the program is left unaware of the scale and Windows stretches its windows.
// Linux: always 96.
unsigned PlatformScreenDpi();

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
