# What both Windows toolchain files share: Debian's mingw-w64 for MINGW_TRIPLET (the POSIX-threads
# flavour: the win32-threads one has no std::thread), the dependency prefix, and the Wine wrapper
# MINGW_EMULATOR that runs the test programs.
#
# LAUNCHER_WIN32_DEPS names the prefix that scripts/build-windows.sh fills with static Lua,
# minizip, libcurl and GoogleTest; pkg-config and find_package look there and in mingw's own
# tree, never in the build machine's.

set(CMAKE_SYSTEM_NAME Windows)
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

get_filename_component(_launcher_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_launcher_source_dir}/scripts/${MINGW_EMULATOR}")
