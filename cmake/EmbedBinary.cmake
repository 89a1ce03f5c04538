# Turns any file into a C byte array with its size.
#
# Run as: cmake -DINPUT=<file> -DOUTPUT=<c file> -DSYMBOL=<name> -P EmbedBinary.cmake
#
# Gives `const unsigned char <name>[]` and `const size_t <name>Size`. Unlike the script embedder
# this keeps every byte as it is, NULs included, and adds no terminator.

foreach(var INPUT OUTPUT SYMBOL)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "EmbedBinary.cmake: ${var} is not set")
    endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
if(size EQUAL 0)
    message(FATAL_ERROR "${INPUT}: the file is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
    "/* Generated from ${INPUT}; do not edit. */\n"
    "#include <stddef.h>\n\n"
    "const unsigned char ${SYMBOL}[] = {\n    ${bytes}};\n"
    "const size_t ${SYMBOL}Size = ${size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
