#include "tests/support/zip_builder.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

namespace {

// General purpose bit 11: the name is UTF-8.
const uLong Utf8NameFlag = 0x800;

constexpr int VersionNeeded = 20;
constexpr int MadeOnUnix = (3 << 8) | VersionNeeded;
constexpr unsigned long DosDirectoryAttribute = 0x10;

bool IsFolderName(const std::string& name) {
    return !name.empty() && name.back() == '/';
}

// Deflate stream of stored blocks carrying `data`, then a block of the reserved type 3, which
// inflate refuses with a data error.
std::string BrokenDeflateStream(const std::string& data) {
    std::string stream;
    for (size_t offset = 0; offset < data.size(); offset += 65535) {
        const size_t length = std::min<size_t>(65535, data.size() - offset);
        stream += '\0'; // not final, stored
        stream += static_cast<char>(length & 0xFF);
        stream += static_cast<char>(length >> 8);
        stream += static_cast<char>(~length & 0xFF);
        stream += static_cast<char>((~length >> 8) & 0xFF);
        stream.append(data, offset, length);
    }
    stream += '\x07'; // final, reserved type
    stream += std::string(16, '\xA5');
    return stream;
}

// A complete raw deflate stream of `data`.
std::string DeflateStream(const std::string& data) {
    z_stream stream = {};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate failed");
    }
    return out;
}

void AddEntry(zipFile zip, const ZipEntry& entry) {
    const bool folder = IsFolderName(entry.name);
    zip_fileinfo info = {};
    if (entry.unixMode) {
        const unsigned long type = folder ? S_IFDIR : S_IFREG;
        info.external_fa = ((type | *entry.unixMode) << 16) | (folder ? DosDirectoryAttribute : 0);
    } else if (folder) {
        info.external_fa = DosDirectoryAttribute;
    }
    const bool raw = entry.breakAfter.has_value() || entry.endAfter.has_value();
    const int method = (entry.deflate || raw) && !folder ? Z_DEFLATED : 0;
    const int versionMadeBy = entry.unixMode ? MadeOnUnix : 0;
    if (zipOpenNewFileInZip4_64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                method, Z_DEFAULT_COMPRESSION, raw ? 1 : 0, -MAX_WBITS,
                                DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, versionMadeBy,
                                entry.utf8Name ? Utf8NameFlag : 0, 0) != ZIP_OK) {
        throw std::runtime_error("cannot add zip entry " + entry.name);
    }
    const std::string payload =
        entry.breakAfter ? BrokenDeflateStream(entry.data.substr(0, *entry.breakAfter))
        : entry.endAfter ? DeflateStream(entry.data.substr(0, *entry.endAfter))
                         : entry.data;
    if (!folder && !payload.empty() &&
        zipWriteInFileInZip(zip, payload.data(), static_cast<unsigned>(payload.size())) != ZIP_OK) {
        throw std::runtime_error("cannot write zip entry " + entry.name);
    }
    int closed;
    if (raw) {
        const uLong crc =
            crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(entry.data.data()),
                  static_cast<uInt>(entry.data.size()));
        closed = zipCloseFileInZipRaw64(zip, entry.data.size(), crc);
    } else {
        closed = zipCloseFileInZip(zip);
    }
    if (closed != ZIP_OK) {
        throw std::runtime_error("cannot close zip entry " + entry.name);
    }
}

uint32_t Read32(const std::string& bytes, size_t at) {
    if (at + 4 > bytes.size()) {
        throw std::runtime_error("truncated zip archive");
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Read16(const std::string& bytes, size_t at) {
    if (at + 2 > bytes.size()) {
        throw std::runtime_error("truncated zip archive");
    }
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void Write32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

} // namespace

ZipEntry ZipFolder(const std::string& name) {
    ZipEntry entry;
    entry.name = name;
    return entry;
}

ZipEntry ZipFile(const std::string& name, const std::string& data, bool deflate) {
    ZipEntry entry;
    entry.name = name;
    entry.data = data;
    entry.deflate = deflate;
    return entry;
}

void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) {
        throw std::runtime_error("cannot create zip archive " + path);
    }
    try {
        for (const ZipEntry& entry : entries) {
            AddEntry(zip, entry);
        }
    } catch (...) {
        zipClose(zip, nullptr);
        throw;
    }
    if (zipClose(zip, nullptr) != ZIP_OK) {
        throw std::runtime_error("cannot finish zip archive " + path);
    }
}

namespace {

std::string ReadArchive(const std::string& zipPath) {
    std::ifstream in(zipPath, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteArchive(const std::string& zipPath, const std::string& bytes) {
    std::ofstream out(zipPath, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The offset of the entry's record in the central directory; throws when it is not there.
size_t CentralRecord(const std::string& bytes, const std::string& zipPath,
                     const std::string& entryName) {
    // The end-of-central-directory record: signature, then the directory's count and offset.
    size_t end = std::string::npos;
    for (size_t at = bytes.size() >= 22 ? bytes.size() - 22 : 0;; --at) {
        if (Read32(bytes, at) == 0x06054b50) {
            end = at;
            break;
        }
        if (at == 0) {
            throw std::runtime_error("no central directory in " + zipPath);
        }
    }
    const unsigned count = Read16(bytes, end + 10);
    size_t at = Read32(bytes, end + 16);
    for (unsigned i = 0; i < count; ++i) {
        if (Read32(bytes, at) != 0x02014b50) {
            throw std::runtime_error("bad central directory in " + zipPath);
        }
        const size_t nameLength = Read16(bytes, at + 28);
        if (nameLength == entryName.size() && bytes.compare(at + 46, nameLength, entryName) == 0) {
            return at;
        }
        at += 46 + nameLength + Read16(bytes, at + 30) + Read16(bytes, at + 32);
    }
    throw std::runtime_error("no entry " + entryName + " in " + zipPath);
}

} // namespace

void SetEntryCrc(const std::string& zipPath, const std::string& entryName, uint32_t crc) {
    std::string bytes = ReadArchive(zipPath);
    const size_t record = CentralRecord(bytes, zipPath, entryName);
    Write32(bytes, record + 16, crc);
    Write32(bytes, Read32(bytes, record + 42) + 14, crc);
    WriteArchive(zipPath, bytes);
}

void FlipEntryDataByte(const std::string& zipPath, const std::string& entryName, size_t offset) {
    std::string bytes = ReadArchive(zipPath);
    const size_t local = Read32(bytes, CentralRecord(bytes, zipPath, entryName) + 42);
    const size_t data = local + 30 + Read16(bytes, local + 26) + Read16(bytes, local + 28);
    if (data + offset >= bytes.size()) {
        throw std::runtime_error("no byte " + std::to_string(offset) + " in " + entryName);
    }
    bytes[data + offset] = static_cast<char>(~bytes[data + offset]);
    WriteArchive(zipPath, bytes);
}
