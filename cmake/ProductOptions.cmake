# What the program says about itself (its version resource, resources/launcher.rc) and the
# pictures it carries, checked when configuring with messages that name the build option:
#
#   launcher_write_version_header(name publisher version header): checks LAUNCHER_PRODUCT_NAME,
#       LAUNCHER_PUBLISHER and LAUNCHER_VERSION and writes the header the resource script includes.
#   launcher_check_artwork(folder): checks the pictures of LAUNCHER_ARTWORK_DIR.

set(LAUNCHER_ARTWORK_TOOL "${CMAKE_CURRENT_LIST_DIR}/../tools/make_artwork.py")

# launcher_wide_literal(option text out): text as a resource script's wide string literal with
# every UTF-16 unit written as \xHHHH, so that no character of the text can end the literal or
# be read in another code page. Stops, naming option, on text that is not UTF-8 or that holds a
# control character.
function(launcher_wide_literal option text out)
    set(scratch "${CMAKE_CURRENT_BINARY_DIR}/generated/${option}")
    file(WRITE "${scratch}.utf8" "${text}")
    execute_process(
        COMMAND iconv -f UTF-8 -t UTF-16LE "${scratch}.utf8"
        OUTPUT_FILE "${scratch}.utf16"
        RESULT_VARIABLE converted
        ERROR_QUIET)
    file(READ "${scratch}.utf16" hex HEX)
    file(REMOVE "${scratch}.utf8" "${scratch}.utf16")
    if(NOT converted EQUAL 0)
        message(FATAL_ERROR "${option} must be UTF-8 text; got \"${text}\"")
    endif()
    string(REGEX REPLACE "(..)(..)" "\\\\x\\2\\1" units "${hex}")
    if(units MATCHES "\\\\x00[01][0-9a-f]|\\\\x007f")
        message(FATAL_ERROR "${option} must not hold a line break, tab or other control "
                            "character; got \"${text}\"")
    endif()
    set(${out} "L\"${units}\"" PARENT_SCOPE)
endfunction()

function(launcher_write_version_header name publisher version header)
    if(name STREQUAL "")
        message(FATAL_ERROR "LAUNCHER_PRODUCT_NAME must not be empty: it is the name Windows "
                            "shows for the program")
    endif()
    if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
        message(FATAL_ERROR "LAUNCHER_VERSION must be four numbers from 0 to 65535 joined by "
                            "dots, e.g. 1.2.3.4; got \"${version}\"")
    endif()
    set(numbers)
    foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
        string(LENGTH "${part}" digits)
        string(REGEX REPLACE "^0+([0-9])" "\\1" part "${part}")
        if(digits GREATER 5 OR part GREATER 65535)
            message(FATAL_ERROR "LAUNCHER_VERSION must be four numbers from 0 to 65535 joined "
                                "by dots, e.g. 1.2.3.4; got \"${version}\"")
        endif()
        list(APPEND numbers ${part})
    endforeach()
    list(JOIN numbers "," version_numbers)
    list(JOIN numbers "." version_text)

    # The year of the build, or of SOURCE_DATE_EPOCH where a reproducible build sets it.
    string(TIMESTAMP year "%Y" UTC)
    launcher_wide_literal(LAUNCHER_PRODUCT_NAME "${name}" name_literal)
    launcher_wide_literal(LAUNCHER_PUBLISHER "${publisher}" publisher_literal)
    launcher_wide_literal(LAUNCHER_PUBLISHER "Copyright © ${year} ${publisher}" copyright_en)
    launcher_wide_literal(LAUNCHER_PUBLISHER "版权所有 © ${year} ${publisher}" copyright_zh)
    set(has_publisher 1)
    if(publisher STREQUAL "")
        set(has_publisher 0)
    endif()
    file(WRITE "${header}.tmp"
        "/* Generated from the build options LAUNCHER_PRODUCT_NAME, LAUNCHER_PUBLISHER and\n"
        "   LAUNCHER_VERSION; do not edit. */\n"
        "#define LAUNCHER_VERSION_NUMBERS ${version_numbers}\n"
        "#define LAUNCHER_VERSION_TEXT \"${version_text}\"\n"
        "#define LAUNCHER_PRODUCT_NAME_TEXT ${name_literal}\n"
        "#define LAUNCHER_HAS_PUBLISHER ${has_publisher}\n"
        "#define LAUNCHER_PUBLISHER_TEXT ${publisher_literal}\n"
        "#define LAUNCHER_COPYRIGHT_EN ${copyright_en}\n"
        "#define LAUNCHER_COPYRIGHT_ZH ${copyright_zh}\n")
    # Rewritten only when changed, so that configuring again recompiles no resources.
    file(COPY_FILE "${header}.tmp" "${header}" ONLY_IF_DIFFERENT)
    file(REMOVE "${header}.tmp")
endfunction()

function(launcher_check_artwork folder)
    if(NOT IS_DIRECTORY "${folder}")
        message(FATAL_ERROR "LAUNCHER_ARTWORK_DIR must be a folder holding background.png, "
                            "bar_track.png, bar_fill.png and icon.png; \"${folder}\" is none")
    endif()
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    execute_process(
        COMMAND "${Python3_EXECUTABLE}" "${LAUNCHER_ARTWORK_TOOL}" --check "${folder}"
        RESULT_VARIABLE checked
        ERROR_VARIABLE problems)
    if(NOT checked EQUAL 0)
        message(FATAL_ERROR "LAUNCHER_ARTWORK_DIR: the launcher cannot use these pictures:\n"
                            "${problems}")
    endif()
    # A picture changed in place is checked again.
    foreach(name background bar_track bar_fill icon)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${folder}/${name}.png")
    endforeach()
endfunction()
