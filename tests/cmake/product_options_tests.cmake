# Checks the configure-time checks of cmake/ProductOptions.cmake in small projects of their own:
# the version resource's text as the resource compiler gets it, and refusals that name the option.
# Run as: cmake -DSOURCE=<the project's source folder> -DWORK=<scratch folder> -P product_options_tests.cmake

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# configure(name publisher version artwork expect_success [refusal_pattern]): configures a project
# that only runs the checks; a refusal must say what refusal_pattern says.
function(configure name publisher version artwork expect_success)
    file(REMOVE_RECURSE "${WORK}/project" "${WORK}/build")
    file(WRITE "${WORK}/project/CMakeLists.txt"
        "cmake_minimum_required(VERSION 3.25)\nproject(options_check NONE)\n"
        "include(\"${SOURCE}/cmake/ProductOptions.cmake\")\n"
        "launcher_write_version_header([==[${name}]==] [==[${publisher}]==] [==[${version}]==] "
        "\"\${CMAKE_BINARY_DIR}/launcher_version.h\")\n"
        "if(NOT [==[${artwork}]==] STREQUAL \"\")\n"
        "    launcher_check_artwork([==[${artwork}]==])\nendif()\n")
    execute_process(
        COMMAND "${CMAKE_COMMAND}" -S "${WORK}/project" -B "${WORK}/build"
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    string(REGEX REPLACE "[ \n]+" " " error "${error}")
    if(expect_success AND NOT result EQUAL 0)
        message(FATAL_ERROR "configuring failed unexpectedly: ${error}")
    elseif(NOT expect_success)
        if(result EQUAL 0)
            message(FATAL_ERROR "configure accepted what it must refuse: "
                                "'${name}' '${publisher}' '${version}' '${artwork}'")
        endif()
        if(NOT error MATCHES "${ARGV5}")
            message(FATAL_ERROR "the refusal does not say \"${ARGV5}\": ${error}")
        endif()
    endif()
endfunction()

# Every character is an escape, so quotes, backslashes and Chinese reach the resource as given;
# leading zeros of the version go.
configure("霍尔登 \"Q\"" "A\\B" "01.2.3.65535" "" TRUE)
file(READ "${WORK}/build/launcher_version.h" header)
foreach(expected
        "#define LAUNCHER_VERSION_NUMBERS 1,2,3,65535\n"
        "#define LAUNCHER_VERSION_TEXT \"1.2.3.65535\"\n"
        "#define LAUNCHER_PRODUCT_NAME_TEXT L\"\\x970d\\x5c14\\x767b\\x0020\\x0022\\x0051\\x0022\"\n"
        "#define LAUNCHER_HAS_PUBLISHER 1\n"
        "#define LAUNCHER_PUBLISHER_TEXT L\"\\x0041\\x005c\\x0042\"\n")
    string(FIND "${header}" "${expected}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the header lacks ${expected}:\n${header}")
    endif()
endforeach()
if(NOT header MATCHES "LAUNCHER_COPYRIGHT_ZH L\"\\\\x7248\\\\x6743\\\\x6240\\\\x6709\\\\x0020\\\\x00a9")
    message(FATAL_ERROR "the Chinese copyright is not 版权所有 ©:\n${header}")
endif()
configure("Name" "" "0.0.0.0" "" TRUE)
file(READ "${WORK}/build/launcher_version.h" header)
if(NOT header MATCHES "LAUNCHER_HAS_PUBLISHER 0")
    message(FATAL_ERROR "an empty publisher is not left out:\n${header}")
endif()

configure("Name" "P" "1.2.3" "" FALSE "LAUNCHER_VERSION must be four numbers from 0 to 65535")
configure("Name" "P" "1.2.3.65536" "" FALSE "LAUNCHER_VERSION must be four numbers")
configure("Name" "P" "1.2.3.4.5" "" FALSE "LAUNCHER_VERSION must be four numbers")
configure("" "P" "1.2.3.4" "" FALSE "LAUNCHER_PRODUCT_NAME must not be empty")
configure("A\tB" "P" "1.2.3.4" "" FALSE "LAUNCHER_PRODUCT_NAME must not hold a line break, tab")
string(ASCII 255 not_utf8)
configure("Name" "A${not_utf8}B" "1.2.3.4" "" FALSE "LAUNCHER_PUBLISHER must be UTF-8 text")

# The studio's pictures: the launcher's own with a 256-pixel icon pass; a folder that is none, and
# a bar of another size, are refused with the file and what is wrong.
# solid_png(path width height): a picture of one colour, written by the artwork tool's encoder.
function(solid_png path width height)
    execute_process(
        COMMAND python3 -c "import sys; sys.path.insert(0, sys.argv[1]); import make_artwork as m; \
w, h = int(sys.argv[3]), int(sys.argv[4]); \
open(sys.argv[2], 'wb').write(m.rgba_png([[(9, 9, 9, 255)] * w] * h, w, h))"
                "${SOURCE}/tools" "${path}" ${width} ${height}
        COMMAND_ERROR_IS_FATAL ANY)
endfunction()

set(artwork "${WORK}/artwork")
execute_process(
    COMMAND python3 "${SOURCE}/tools/make_artwork.py" --out "${artwork}"
    COMMAND_ERROR_IS_FATAL ANY)
solid_png("${artwork}/icon.png" 256 256)
configure("Name" "P" "1.2.3.4" "${artwork}" TRUE)
configure("Name" "P" "1.2.3.4" "${WORK}/no-such-folder" FALSE "LAUNCHER_ARTWORK_DIR must be a folder")
solid_png("${artwork}/bar_track.png" 600 14)
configure("Name" "P" "1.2.3.4" "${artwork}" FALSE
          "LAUNCHER_ARTWORK_DIR: the launcher cannot use these pictures: .*bar_track.png: 600 x 14 pixels, where 656 x 14 are needed")
message(STATUS "product option checks passed")
