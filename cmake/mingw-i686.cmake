# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (the POSIX-threads flavour: the
# win32-threads one has no std::thread).
#
# LAUNCHER_WIN32_DEPS names the prefix that scripts/build-windows.sh fills with static Lua,
# minizip, libcurl and GoogleTest; pkg-config and find_package look there and in mingw's own
# tree, never in the build machine's.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_AR ${MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "Ranlib")

# Doubles stay doubles: with the x87 unit's 80-bit intermediates, 0.42 * 100.0 truncates to 41
# instead of 42. SSE2 arithmetic rounds every step to double precision, as a 64-bit build does.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# try_compile projects re-read this file without the cache; hand the prefix on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LAUNCHER_WIN32_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${LAUNCHER_WIN32_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(LAUNCHER_WIN32_DEPS)
    set(ENV{PKG_CONFIG_LIBDIR} "${LAUNCHER_WIN32_DEPS}/lib/pkgconfig:/usr/${MINGW_TRIPLET}/lib/pkgconfig")
    set(ENV{PKG_CONFIG_PATH} "")
endif()

# Test programs run under Wine; the wrapper keeps Wine quiet and uses the launcher's own prefix.
get_filename_component(_launcher_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_launcher_source_dir}/scripts/wine-run.sh")
