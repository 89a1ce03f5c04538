// Holds a file open without sharing, as another program that has it open does (a client still
// running, a virus scanner reading a program just written), until a line or the end of standard
// input arrives:
//     win32_hold_file <path>
// Prints "held" once it has the file (it tries for up to 60 s: a program that has just ended
// may still have it) and "released" after letting it go. Exit code 1 when it never got it.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 2;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 600 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(100);
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot hold the file: error %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    }
    CloseHandle(file);
    std::printf("released\n");
    std::fflush(stdout);
    return 0;
}
