# Cross-compiles for 64-bit Windows (cmake/mingw-common.cmake). The launcher ships as a 32-bit
# program; this build exists to run the Windows tests under wine64 on machines whose kernel cannot
# execute 32-bit programs (scripts/build-windows.sh --arch x86_64).

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
# Test programs run under wine64, in a 64-bit prefix of their own.
set(MINGW_EMULATOR wine64-run.sh)

include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
