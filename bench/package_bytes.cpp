#include "bench/package_bytes.h"

#include <iterator>

std::string TextBytes(std::mt19937& random, size_t size) {
    static const char* const words[] = {"texture", "mesh",   "shader", "0.5",    "1560",  "level",
                                        "sound",   "client", "\n",     "{",      "}",     "=",
                                        "player",  "720",    "asset",  "bundle", "index", "\t"};
    std::string bytes;
    bytes.reserve(size + 16);
    std::uniform_int_distribution<size_t> pick(0, std::size(words) - 1);
    while (bytes.size() < size) {
        bytes += words[pick(random)];
        bytes += ' ';
    }
    bytes.resize(size);
    return bytes;
}

std::string RandomBytes(std::mt19937& random, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}
