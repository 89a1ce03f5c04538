# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (POSIX threads, as the 32-bit build).
# The launcher ships as a 32-bit program; this build exists to run the Windows tests under wine64
# on machines whose kernel cannot execute 32-bit programs (scripts/build-windows.sh --arch x86_64).
#
# LAUNCHER_WIN32_DEPS names the prefix that scripts/build-windows.sh fills with static Lua,
# minizip, libcurl and GoogleTest for this triplet.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_AR ${MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "Ranlib")

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

# Test programs run under wine64, in a 64-bit prefix of their own.
get_filename_component(_launcher_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_launcher_source_dir}/scripts/wine64-run.sh")
