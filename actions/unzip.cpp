// Zip extraction on several threads.
//
// Threads. The script's thread (the one that calls Unzip) runs Unzip, ExtractZip, PlanEntries
// (one walk of the archive's directory, which also makes every folder the entries need, so each
// folder is made once and by one thread), ReportProgress (the script's callback) and the decision
// of the result. ExtractEntries runs on each extracting thread, with an archive handle and a
// buffer of its own; the threads take entries in archive order from one atomic index, and record
// what came of each under one mutex. The script's thread wakes every 30 ms, or when the last
// extracting thread ends, and calls the callback for each entry that is done and has no entry
// before it still undone, so the callback sees the same values, in the same order, as one thread
// extracting alone would give it.
//
// Failures. The first failure in archive order decides, whichever thread saw it first: no entry
// after it is started from then on, one after it being written is stopped at its next block and
// removed, the entries before it are finished (one of them may still fail), and nothing after it
// is reported as done or left on the disk: a file another thread finished after it is removed, so
// a failed install holds what one thread would have written, and no new client beside old data. A close of the launcher starts nothing more and
// stops each file being written at its next block.
#include "actions/unzip.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include <libdeflate.h>
#include <lua.hpp>
#include <unzip.h>

#include "actions/entry_file.h"
#include "actions/entry_names.h"
#include "platform/platform.h"
#include "script/plain_text.h"
#include "script/shared_state.h"

namespace {

// Abandoned: an entry after the first failure, stopped and removed, as it is reported nowhere.
enum class EntryOutcome { Extracted, Failed, Cancelled, Abandoned };

// Name buffer of minizip's entry query: a name of this many bytes or more arrives cut.
constexpr size_t NameBufferSize = 256;
bool StaysInsideTheFolder(const char* name);

// unzReadCurrentFile refuses counts above 65535.
constexpr unsigned ReadBufferSize = 65535;
// "Version made by" host 3 is Unix: the upper half of the external attributes is st_mode.
constexpr unsigned HostUnix = 3;
// More threads than this gain nothing: the disk and the file system's locks are shared.
constexpr unsigned MaxThreads = 8;
constexpr auto ProgressPeriod = std::chrono::milliseconds(30);
constexpr size_t NoFailure = SIZE_MAX;
// Entries up to this size (data and its deflated form each) are inflated in one piece by
// libdeflate, which does it in about half of zlib's time; larger ones stream through zlib. Two
// such buffers per extracting thread bound the memory this takes.
constexpr ZPOS64_T WholeInflateBudget = ZPOS64_T{4} << 20;
// Method 8 is deflate; bit 0 of the flags marks an encrypted entry.
constexpr int DeflateMethod = 8;
constexpr uLong EncryptedFlag = 1;

// What Unzip hands back to Lua: a plain record, so that nothing with a destructor is alive in
// Unzip's frame, where Lua may raise errors.
struct UnzipOutcome {
    bool extracted;
    char failure[PlainTextCapacity]; // always terminated
};

// Checked arguments become C++ values here, in a frame of its own.
void UnzipCheckedArguments(lua_State* L, UnzipOutcome* outcome) {
    std::string zipPath = lua_tostring(L, 1);
    std::string outputFolder = lua_tostring(L, 2);
    // Runs while Unzip is on the stack, so slot 3 is the callback throughout. lua_pcall keeps a
    // failing callback from unwinding through minizip and our frames.
    std::function<void(float)> progress = [L](float fraction) {
        lua_pushvalue(L, 3);
        lua_pushnumber(L, fraction);
        if (lua_pcall(L, 1, 0, 0) != 0) {
            lua_pop(L, 1);
        }
    };
    std::string failure;
    outcome->extracted = ExtractZip(zipPath, outputFolder, progress, &failure);
    CopyPlainText(failure, outcome->failure);
}

// One entry as the walk of the archive's directory found it.
struct PlannedEntry {
    unz64_file_pos position;
    ZPOS64_T size;    // uncompressed, as declared
    ZPOS64_T packed;  // compressed, as declared
    uLong crc;        // as declared
    bool wholeInflate; // deflated, unencrypted and small enough for WholeInflateBudget
    unsigned mode;    // Unix permission bits to apply; 0 for none
    std::string name; // as the archive holds it, for the failure's line
    std::string path; // below the output folder, "/" between segments; a folder's ends in "/"
};

// What the extracting threads share.
struct Extraction {
    std::string zipPath;
    std::string outputFolder;
    bool durable = true;
    std::vector<PlannedEntry> entries;
    // Two file entries name the same file (letter case aside, as Windows reads names): on one
    // thread the later one is written last and so wins; on several it could be mixed with the
    // earlier one.
    bool repeatsAFile = false;
    // The next entry to start.
    std::atomic<size_t> next{0};
    // No entry at or after this index is started: the first failure's, once one is known.
    std::atomic<size_t> stopAt{NoFailure};

    std::mutex mutex;
    std::condition_variable ended; // a thread has ended
    // Guarded by mutex:
    std::vector<char> finished;  // per entry, whether it is whole on the disk
    size_t doneInOrder = 0;      // the entries finished with none before them unfinished
    size_t failedAt = NoFailure; // the first entry in archive order that failed
    std::string failure;         // its line
    unsigned running = 0;        // threads still extracting
};

// What is wrong with an entry's data, or "" when it is whole: its size, then the CRC that minizip
// checks at the entry's close, which it skips unless the declared size was read to its end.
std::string DataDamage(int lastRead, ZPOS64_T written, ZPOS64_T declared, int entryClosed) {
    const std::string of = std::to_string(written) + " of " + std::to_string(declared) + " bytes";
    if (lastRead < 0) {
        return "data cannot be read after " + of;
    }
    if (written < declared) {
        return "data ends after " + of;
    }
    if (written > declared) {
        return "data runs past its " + std::to_string(declared) + " bytes";
    }
    return entryClosed == UNZ_CRCERROR ? "CRC mismatch" : "";
}

// What one extracting thread keeps between entries.
struct ThreadState {
    std::unique_ptr<char[]> buffer{new char[ReadBufferSize]};
    libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
    std::vector<char> packed;
    std::vector<char> data;
    ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    ~ThreadState() {
        libdeflate_free_decompressor(inflater);
    }
};

// The entry's data inflated in one piece into state.data, and checked whole (size and CRC); false
// on anything unexpected (a read that fails, a stream that ends early, runs long or is damaged, a
// CRC mismatch), which the streaming extraction then meets again and names.
bool InflateWhole(unzFile archive, const PlannedEntry& entry, ThreadState& state) {
    if (state.inflater == nullptr) {
        return false;
    }
    int method = 0;
    int level = 0;
    if (unzOpenCurrentFile2(archive, &method, &level, 1) != UNZ_OK) {
        return false;
    }
    state.packed.resize(static_cast<size_t>(entry.packed));
    size_t read = 0;
    while (read < state.packed.size()) {
        const size_t ask = std::min<size_t>(ReadBufferSize, state.packed.size() - read);
        const int count =
            unzReadCurrentFile(archive, state.packed.data() + read, static_cast<unsigned>(ask));
        if (count <= 0) {
            break;
        }
        read += static_cast<size_t>(count);
    }
    unzCloseCurrentFile(archive);
    if (read != state.packed.size()) {
        return false;
    }
    state.data.resize(static_cast<size_t>(entry.size));
    size_t inflated = 0;
    const libdeflate_result result =
        libdeflate_deflate_decompress(state.inflater, state.packed.data(), state.packed.size(),
                                      state.data.data(), state.data.size(), &inflated);
    return result == LIBDEFLATE_SUCCESS && inflated == state.data.size() &&
           libdeflate_crc32(0, state.data.data(), state.data.size()) == entry.crc;
}

// Closes an entry's output file, flushed when its data came out whole, and removes it otherwise, so
// that nothing takes it for the archive's. Failed when the data was not whole or the close failed
// (*closeFailure then says why).
EntryOutcome CloseEntryFile(PlatformOutputFile* out, const std::string& outputPath,
                            const Extraction& extraction, bool cancelled, bool abandoned,
                            bool whole, std::string* closeFailure) {
    const bool fileClosed = PlatformCloseOutputFile(out, extraction.durable && whole, closeFailure);
    if (cancelled) {
        return EntryOutcome::Cancelled;
    }
    if (whole && fileClosed) {
        return EntryOutcome::Extracted;
    }
    PlatformRemoveFile(outputPath);
    return abandoned ? EntryOutcome::Abandoned : EntryOutcome::Failed;
}

// Writes state.data, checked whole by InflateWhole, into its output file, block by block so that
// a close or an earlier failure stops it as it stops a streamed entry.
EntryOutcome WriteWholeEntry(size_t index, const std::string& outputPath,
                             const Extraction& extraction, const ThreadState& state,
                             std::string* why) {
    PlatformOutputFile* out = OpenEntryFile(outputPath, why);
    if (out == nullptr) {
        return LauncherClosing() ? EntryOutcome::Cancelled : EntryOutcome::Failed;
    }
    constexpr size_t Block = size_t{1} << 20;
    bool cancelled = false;
    bool abandoned = false;
    std::string writeFailure;
    for (size_t at = 0; at < state.data.size(); at += Block) {
        cancelled = LauncherClosing();
        abandoned = extraction.stopAt.load() < index;
        if (cancelled || abandoned ||
            !PlatformWriteOutputFile(out, state.data.data() + at,
                                     std::min(Block, state.data.size() - at), &writeFailure)) {
            break;
        }
    }
    const bool whole = !cancelled && !abandoned && writeFailure.empty();
    std::string closeFailure;
    const EntryOutcome outcome =
        CloseEntryFile(out, outputPath, extraction, cancelled, abandoned, whole, &closeFailure);
    if (outcome == EntryOutcome::Failed) {
        *why = writeFailure.empty() ? closeFailure : writeFailure;
    }
    return outcome;
}

// A file entry's data streamed into its output file. Asks LauncherClosing once per block, so a
// close is honoured quickly even inside an entry of gigabytes, and whether an earlier entry has
// failed meanwhile, which makes this one's work useless. A file that did not come out whole is
// removed, so that nothing takes it for the archive's. On failure *why says what went wrong.
EntryOutcome ExtractFileEntry(unzFile archive, const PlannedEntry& entry, size_t index,
                              const std::string& outputPath, const Extraction& extraction,
                              char* buffer, std::string* why) {
    if (unzOpenCurrentFile(archive) != UNZ_OK) {
        *why = "its data cannot be opened (damaged, encrypted or of an unknown method)";
        return EntryOutcome::Failed;
    }
    PlatformOutputFile* out = OpenEntryFile(outputPath, why);
    if (out == nullptr) {
        unzCloseCurrentFile(archive);
        // A wait for a file held by another program ends with the close.
        return LauncherClosing() ? EntryOutcome::Cancelled : EntryOutcome::Failed;
    }
    ZPOS64_T written = 0;
    std::string writeFailure;
    bool cancelled = false;
    bool abandoned = false;
    int count;
    while ((count = unzReadCurrentFile(archive, buffer, ReadBufferSize)) > 0) {
        if (!PlatformWriteOutputFile(out, buffer, static_cast<size_t>(count), &writeFailure)) {
            break;
        }
        written += static_cast<ZPOS64_T>(count);
        cancelled = LauncherClosing();
        abandoned = extraction.stopAt.load() < index;
        if (cancelled || abandoned) {
            break;
        }
    }
    const int entryClosed = unzCloseCurrentFile(archive);
    const bool stopped = cancelled || abandoned;
    const std::string damage =
        writeFailure.empty() && !stopped ? DataDamage(count, written, entry.size, entryClosed) : "";
    const bool whole = !stopped && writeFailure.empty() && damage.empty() && entryClosed == UNZ_OK;
    std::string closeFailure;
    const EntryOutcome outcome =
        CloseEntryFile(out, outputPath, extraction, cancelled, abandoned, whole, &closeFailure);
    if (outcome != EntryOutcome::Failed) {
        return outcome;
    }
    if (!writeFailure.empty()) {
        *why = writeFailure;
    } else if (!damage.empty()) {
        *why = damage;
    } else if (entryClosed != UNZ_OK) {
        *why = "its data cannot be read to its end";
    } else {
        *why = closeFailure;
    }
    return EntryOutcome::Failed;
}

// Writes one planned entry below the output folder. A folder entry was made by the walk already.
EntryOutcome ExtractEntry(unzFile archive, const Extraction& extraction, size_t index,
                          ThreadState& state, std::string* why) {
    const PlannedEntry& entry = extraction.entries[index];
    if (entry.path.back() == '/') {
        return EntryOutcome::Extracted;
    }
    if (unzGoToFilePos64(archive, &entry.position) != UNZ_OK) {
        *why = "its record in the archive cannot be read";
        return EntryOutcome::Failed;
    }
    const std::string outputPath = extraction.outputFolder + "/" + entry.path;
    const EntryOutcome outcome =
        entry.wholeInflate && InflateWhole(archive, entry, state)
            ? WriteWholeEntry(index, outputPath, extraction, state, why)
            : ExtractFileEntry(archive, entry, index, outputPath, extraction, state.buffer.get(),
                               why);
    if (outcome == EntryOutcome::Extracted && entry.mode != 0) {
        PlatformApplyPermissions(outputPath, entry.mode);
    }
    return outcome;
}

// Records what came of entry index, under the mutex. A cancelled or abandoned entry leaves no
// trace: the result then follows from what is done and reported.
void RecordOutcome(Extraction& extraction, size_t index, EntryOutcome outcome,
                   const std::string& why) {
    std::lock_guard<std::mutex> lock(extraction.mutex);
    if (outcome == EntryOutcome::Extracted) {
        extraction.finished[index] = 1;
        while (extraction.doneInOrder < extraction.entries.size() &&
               extraction.finished[extraction.doneInOrder] != 0) {
            ++extraction.doneInOrder;
        }
    } else if (outcome == EntryOutcome::Failed && index < extraction.failedAt) {
        extraction.failedAt = index;
        extraction.failure =
            "Failed to extract file: " + extraction.entries[index].name + ": " + why;
        extraction.stopAt.store(index);
    }
}

// One extracting thread: takes the next entry in archive order until none is left, the first
// failure lies before it, or the launcher is closing. Closes its archive handle at the end.
void ExtractEntries(Extraction& extraction, unzFile archive) {
    ThreadState state;
    for (;;) {
        if (LauncherClosing()) {
            break;
        }
        const size_t index = extraction.next.fetch_add(1);
        if (index >= extraction.entries.size() || index >= extraction.stopAt.load()) {
            break;
        }
        std::string why;
        const EntryOutcome outcome = ExtractEntry(archive, extraction, index, state, &why);
        RecordOutcome(extraction, index, outcome, why);
        if (outcome == EntryOutcome::Cancelled) {
            break;
        }
    }
    unzClose(archive);
    std::lock_guard<std::mutex> lock(extraction.mutex);
    --extraction.running;
    extraction.ended.notify_all();
}

// Creates every missing folder that the path puts between the output folder and its last
// segment (all of a folder entry's path), one level at a time; false, with the folder, when one
// cannot be made. Many zip writers list "a/b/c.txt" without "a/" and "a/b/". knownFolder is the
// folder the last entry needed: archives list the entries of one folder together, so most entries
// need no look at the disk.
bool CreateEntryFolders(const std::string& outputFolder, const std::string& path,
                        std::string* knownFolder, std::string* failedFolder) {
    const size_t last = path.rfind('/');
    const std::string needed = last == std::string::npos ? "" : path.substr(0, last);
    if (needed == *knownFolder) {
        return true;
    }
    for (size_t slash = path.find('/'); slash != std::string::npos && slash <= last;
         slash = path.find('/', slash + 1)) {
        const std::string folder = outputFolder + "/" + path.substr(0, slash);
        // A level that exists as a file is left for the file's own open to fail on.
        if (!PlatformPathExists(folder) && !PlatformCreateFolder(folder)) {
            *failedFolder = folder;
            return false;
        }
    }
    *knownFolder = needed;
    return true;
}

// Walks the archive's directory once, from its first entry, noting each entry and making the
// folders it needs. Stops at the first entry that cannot be planned (its record unreadable, its
// name refused, a folder not creatable), with that entry's line in *failure, or once the
// launcher is closing; the entries before it are planned.
void PlanEntries(unzFile archive, Extraction& extraction, std::string* failure) {
    std::string knownFolder;
    std::unordered_set<std::string> files;
    for (;;) {
        // Making the folders of a large archive takes a while on a slow disk.
        if (LauncherClosing()) {
            *failure = "Extraction cancelled: the launcher is closing.";
            return;
        }
        const std::string number = "entry " + std::to_string(extraction.entries.size() + 1);
        unz_file_info64 info = {};
        char name[NameBufferSize];
        if (unzGetCurrentFileInfo64(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
            UNZ_OK) {
            *failure = "Failed to extract file: " + number + ": its record cannot be read";
            return;
        }
        // A longer name arrives cut and unterminated; writing it under the cut name would be
        // wrong.
        if (info.size_filename >= NameBufferSize) {
            *failure = "Failed to extract file: " + number + ": its name is longer than " +
                       std::to_string(NameBufferSize - 1) + " bytes";
            return;
        }
        if (name[0] == '\0') {
            *failure = "Failed to extract file: " + number + ": its name is empty";
            return;
        }
        const std::string utf8Name = EntryNameUtf8(name, info.flag);
        if (!IsSafeEntryName(utf8Name.c_str())) {
            const bool windowsRule = StaysInsideTheFolder(utf8Name.c_str());
            *failure =
                "Failed to extract file: " + utf8Name +
                (windowsRule ? ": name refused" : ": the name would leave the output folder");
            return;
        }
        PlannedEntry entry;
        entry.name = utf8Name;
        entry.path = EntryPath(utf8Name);
        std::string folder;
        if (!CreateEntryFolders(extraction.outputFolder, entry.path, &knownFolder, &folder)) {
            *failure = "Failed to extract file: " + entry.name + ": " + folder +
                       ": the folder cannot be created";
            return;
        }
        unzGetFilePos64(archive, &entry.position);
        entry.size = info.uncompressed_size;
        entry.packed = info.compressed_size;
        entry.crc = info.crc;
        entry.wholeInflate = info.compression_method == DeflateMethod &&
                             (info.flag & EncryptedFlag) == 0 && entry.size > 0 &&
                             entry.size <= WholeInflateBudget &&
                             entry.packed <= WholeInflateBudget;
        const unsigned mode = static_cast<unsigned>(info.external_fa >> 16) & 0777;
        entry.mode = (info.version >> 8) == HostUnix ? mode : 0;
        if (entry.path.back() != '/') {
            std::string file = entry.path;
            for (char& c : file) {
                c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            }
            extraction.repeatsAFile |= !files.insert(std::move(file)).second;
        }
        extraction.entries.push_back(std::move(entry));
        const int step = unzGoToNextFile(archive);
        if (step == UNZ_END_OF_LIST_OF_FILE) {
            return;
        }
        if (step != UNZ_OK) {
            *failure = "Failed to extract file: entry " +
                       std::to_string(extraction.entries.size() + 1) +
                       ": its record cannot be read";
            return;
        }
    }
}

// Calls progress for each entry done in order since the last call, up to done; stops as soon as
// the launcher is closing, as the loop of one thread would before its next entry.
void ReportProgress(const std::function<void(float)>& progress, size_t done, ZPOS64_T count,
                    size_t* reported) {
    while (*reported < done && !LauncherClosing()) {
        ++*reported;
        if (progress) {
            progress(static_cast<float>(*reported) / static_cast<float>(count));
        }
    }
}

unsigned ThreadCount(unsigned asked, size_t entries) {
    unsigned threads = asked;
    if (threads == 0) {
        threads = std::min(MaxThreads, std::max(1u, std::thread::hardware_concurrency()));
    }
    return static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(entries, 1)));
}

// Runs the extracting threads over the planned entries and reports progress on this thread
// meanwhile; *reported is how many entries the callback was given.
void ExtractPlanned(Extraction& extraction, unsigned threads,
                    const std::function<void(float)>& progress, ZPOS64_T count, size_t* reported) {
    extraction.finished.assign(extraction.entries.size(), 0);
    // Opened here, so that a handle the system refuses leaves fewer threads, never a lost entry.
    std::vector<unzFile> archives;
    for (unsigned i = 0; i < threads && !extraction.entries.empty(); ++i) {
        unzFile archive = PlatformOpenZip(extraction.zipPath);
        if (archive == nullptr) {
            break;
        }
        archives.push_back(archive);
    }
    if (archives.empty() && !extraction.entries.empty()) {
        extraction.failedAt = 0;
        extraction.failure = "Failed to open zip file: " + extraction.zipPath;
        return;
    }
    extraction.running = static_cast<unsigned>(archives.size());
    std::vector<std::thread> workers;
    for (unzFile archive : archives) {
        workers.emplace_back(ExtractEntries, std::ref(extraction), archive);
    }
    for (bool running = true; running;) {
        size_t done;
        {
            std::unique_lock<std::mutex> lock(extraction.mutex);
            extraction.ended.wait_for(lock, ProgressPeriod,
                                      [&extraction] { return extraction.running == 0; });
            running = extraction.running != 0;
            done = extraction.doneInOrder;
        }
        ReportProgress(progress, done, count, reported);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

// Removes the files other threads finished after the first failing entry: a failed install holds
// what extracting in order would have written, never a new client beside old data.
void RemoveFilesAfterTheFailure(const Extraction& extraction) {
    for (size_t i = extraction.failedAt + 1;
         extraction.failedAt != NoFailure && i < extraction.entries.size(); ++i) {
        if (extraction.finished[i] != 0 && extraction.entries[i].path.back() != '/') {
            PlatformRemoveFile(extraction.outputFolder + "/" + extraction.entries[i].path);
        }
    }
}

// The extraction without its failure line's output; false with the line in *failure.
bool Extract(const std::string& zipPath, const std::string& outputFolder,
             const std::function<void(float)>& progress, ExtractFlush flush, unsigned threads,
             std::string* failure) {
    unzFile archive = PlatformOpenZip(zipPath);
    if (archive == nullptr) {
        *failure = "Failed to open zip file: " + zipPath;
        return false;
    }
    if (!PlatformPathExists(outputFolder) && !PlatformCreateFolder(outputFolder)) {
        *failure = "Failed to create output folder: " + outputFolder;
        unzClose(archive);
        return false;
    }
    unz_global_info64 globalInfo = {};
    unzGetGlobalInfo64(archive, &globalInfo);
    const ZPOS64_T count = globalInfo.number_entry;
    if (unzGoToFirstFile(archive) != UNZ_OK) {
        *failure = "Failed to locate first file in zip.";
        unzClose(archive);
        return false;
    }
    Extraction extraction;
    extraction.zipPath = zipPath;
    extraction.outputFolder = outputFolder;
    extraction.durable = flush == ExtractFlush::ToDisk;
    std::string planFailure;
    PlanEntries(archive, extraction, &planFailure);
    unzClose(archive);

    size_t reported = 0;
    ExtractPlanned(extraction,
                   extraction.repeatsAFile ? 1 : ThreadCount(threads, extraction.entries.size()),
                   progress, count, &reported);
    const size_t planned = extraction.entries.size();
    bool extracted = false;
    if (extraction.failedAt != NoFailure && reported == extraction.failedAt) {
        *failure = extraction.failure;
    } else if (reported < planned || extraction.failedAt != NoFailure) {
        *failure = "Extraction cancelled: the launcher is closing.";
    } else if (!planFailure.empty()) {
        *failure = planFailure;
    } else {
        extracted = true;
    }
    if (!extracted) {
        // Let go first: on Windows a file still held for its flush cannot be removed.
        if (extraction.durable) {
            PlatformDropWrites();
        }
        RemoveFilesAfterTheFailure(extraction);
        return false;
    }
    if (!extraction.durable) {
        return true;
    }
    // True means installed: a power cut after this must not find the files missing or empty.
    std::string reason;
    if (!PlatformFlushWrites(outputFolder, &reason)) {
        *failure = "Failed to flush the extracted files: " + reason;
        return false;
    }
    return true;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

} // namespace

int Unzip(lua_State* L) {
    if (lua_gettop(L) != 3) {
        lua_pushstring(L, "Expected 2 arguments: zip file path and output folder");
        return lua_error(L);
    }
    if (lua_type(L, 3) != LUA_TFUNCTION) {
        lua_pushstring(L, "Third argument must be a callback function");
        return lua_error(L);
    }
    // Both paths are needed as text; a table or boolean has none.
    luaL_checkstring(L, 1);
    luaL_checkstring(L, 2);
    UnzipOutcome outcome;
    UnzipCheckedArguments(L, &outcome);
    lua_pushboolean(L, outcome.extracted);
    if (outcome.extracted) {
        return 1;
    }
    lua_pushstring(L, outcome.failure);
    return 2;
}

bool ExtractZip(const std::string& zipPath, const std::string& outputFolder,
                std::function<void(float)> progress, std::string* failure, ExtractFlush flush,
                unsigned threads) {
    std::string line;
    if (Extract(zipPath, outputFolder, progress, flush, threads, &line)) {
        return true;
    }
    std::cerr << line << std::endl;
    if (failure != nullptr) {
        *failure = line;
    }
    return false;
}

namespace {

// The part of IsSafeEntryName every system shares: the name stays inside the output folder.
bool StaysInsideTheFolder(const char* name) {
    if (name[0] == '\0' || IsSeparator(name[0])) {
        return false;
    }
    const bool driveLetter =
        (name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z');
    if (driveLetter && name[1] == ':') {
        return false;
    }
    // Walk the segments between separators of either kind.
    const char* segment = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || IsSeparator(*p)) {
            if (p - segment == 2 && segment[0] == '.' && segment[1] == '.') {
                return false;
            }
            if (*p == '\0') {
                return true;
            }
            segment = p + 1;
        }
    }
}

} // namespace

bool IsSafeEntryName(const char* name) {
    // Where Windows would write such a name under another one (or open a device), it is refused.
    return StaysInsideTheFolder(name) &&
           (!PlatformNamesFollowWindowsRules() || IsWindowsSafeEntryName(name));
}
