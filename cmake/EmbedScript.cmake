# Turns the carried Lua script into a C byte array.
#
# Run as: cmake -DINPUT=<lua file> -DOUTPUT=<c file> -DDOWNLOAD_HOST=<host[:port]>
#               -DDOWNLOAD_SCHEME=<http|https> -DPACKAGE_SHA256=<64 hex digits or empty>
#               [-DPACKAGE_URL=<the package's whole URL, or empty>]
#               [-DPACKAGE_SIZE=<bytes, or empty>] [-DINSTALLED_SIZE=<bytes, or empty>]
#               [-DINSTALL_ROOT=<documents|local-app-data>] -P EmbedScript.cmake
#
# The script is UTF-8, edited and carried: its messages reach the streams and the log as UTF-8,
# and its paths are UTF-8 like every path inside the program. @LAUNCHER_PACKAGE_URL@ (the
# given URL, or the default path on the download host), @LAUNCHER_PACKAGE_SIZE@,
# @LAUNCHER_INSTALLED_SIZE@ (digits, or empty), @LAUNCHER_DOWNLOAD_SCHEME@,
# @LAUNCHER_PACKAGE_SHA256@ (in lowercase) and @LAUNCHER_DOWNLOAD_HOST@ in the text are replaced
# by the build's values first.

foreach(var INPUT OUTPUT DOWNLOAD_HOST DOWNLOAD_SCHEME PACKAGE_SHA256)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "EmbedScript.cmake: ${var} is not set")
    endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/DownloadOptions.cmake")
launcher_check_download_options("${DOWNLOAD_SCHEME}" "${PACKAGE_SHA256}" PACKAGE_SHA256)
if(NOT DEFINED PACKAGE_URL)
    set(PACKAGE_URL "")
endif()
launcher_check_package_url("${PACKAGE_URL}")
foreach(size PACKAGE_SIZE INSTALLED_SIZE)
    if(NOT DEFINED ${size})
        set(${size} "")
    endif()
    launcher_check_size(LAUNCHER_${size} "${${size}}")
endforeach()
if(NOT DEFINED INSTALL_ROOT)
    set(INSTALL_ROOT documents)
endif()
launcher_check_install_root("${INSTALL_ROOT}")
# The default URL keeps the placeholders, so that the host is still filled in last.
launcher_package_url("${PACKAGE_URL}" "@LAUNCHER_DOWNLOAD_SCHEME@" "@LAUNCHER_DOWNLOAD_HOST@"
                     PACKAGE_URL)

# Checked on the raw bytes: reading as text would quietly drop carriage returns.
file(READ "${INPUT}" raw_hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\1," raw_bytes "${raw_hex}")
if(raw_bytes MATCHES "(^|,)0d,")
    message(FATAL_ERROR "${INPUT}: the carried script must end its lines with single line feeds")
endif()
if(raw_bytes MATCHES "(^|,)00,")
    message(FATAL_ERROR "${INPUT}: the carried script must not contain a NUL byte")
endif()

file(READ "${INPUT}" text)
# The host last, so that its value is carried as given and never searched for placeholders.
string(REPLACE "@LAUNCHER_PACKAGE_URL@" "${PACKAGE_URL}" text "${text}")
string(REPLACE "@LAUNCHER_DOWNLOAD_SCHEME@" "${DOWNLOAD_SCHEME}" text "${text}")
string(REPLACE "@LAUNCHER_PACKAGE_SIZE@" "${PACKAGE_SIZE}" text "${text}")
string(REPLACE "@LAUNCHER_INSTALLED_SIZE@" "${INSTALLED_SIZE}" text "${text}")
string(REPLACE "@LAUNCHER_PACKAGE_SHA256@" "${PACKAGE_SHA256}" text "${text}")
string(REPLACE "@LAUNCHER_INSTALL_ROOT@" "${INSTALL_ROOT}" text "${text}")
string(REPLACE "@LAUNCHER_DOWNLOAD_HOST@" "${DOWNLOAD_HOST}" text "${text}")

set(utf8_file "${OUTPUT}.utf8")
file(WRITE "${utf8_file}" "${text}")
# The host reads the texts as UTF-8: bytes that are not would show as replacement characters.
execute_process(
    COMMAND iconv -f UTF-8 -t UTF-8 "${utf8_file}"
    OUTPUT_QUIET
    RESULT_VARIABLE iconv_result
    ERROR_VARIABLE iconv_error)
if(NOT iconv_result EQUAL 0)
    file(REMOVE "${utf8_file}")
    message(FATAL_ERROR "${INPUT}: the carried script must be UTF-8 text: ${iconv_error}")
endif()

file(READ "${utf8_file}" hex HEX)
file(REMOVE "${utf8_file}")
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
if(size EQUAL 0)
    message(FATAL_ERROR "${INPUT}: the carried script is empty")
endif()

string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
if(bytes MATCHES "0x00,")
    message(FATAL_ERROR "${INPUT}: the carried script must not contain a NUL byte")
endif()
# 16 bytes a line keeps the generated file readable in a debugger.
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line_pattern)
string(REGEX REPLACE "(${line_pattern})" "\\1\n    " bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
    "/* Generated from ${INPUT}; do not edit. */\n"
    "#include <stddef.h>\n\n"
    "const char CarriedScriptText[] = {\n    ${bytes}0x00};\n"
    "const size_t CarriedScriptSize = ${size};\n")
# Only touch the output when it changed, so an unchanged script does not relink.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
