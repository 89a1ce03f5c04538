# Cross-compiles for 32-bit Windows, the system the launcher ships for (cmake/mingw-common.cmake).

set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
# Test programs run under Wine; the wrapper keeps Wine quiet and uses the launcher's own prefix.
set(MINGW_EMULATOR wine-run.sh)

# Doubles stay doubles: with the x87 unit's 80-bit intermediates, 0.42 * 100.0 truncates to 41
# instead of 42. SSE2 arithmetic rounds every step to double precision, as a 64-bit build does.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
