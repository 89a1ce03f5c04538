# Checks the build step that carries the script: GBK bytes, host substitution, refused inputs.
# Run as: cmake -DEMBED=<EmbedScript.cmake> -DWORK=<scratch folder> -P embed_script_tests.cmake

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(embed input_text expect_success)
    file(WRITE "${WORK}/in.lua" "${input_text}")
    execute_process(
        COMMAND "${CMAKE_COMMAND}" -DINPUT=${WORK}/in.lua -DOUTPUT=${WORK}/out.c
                -DDOWNLOAD_HOST=example.test:81 -P "${EMBED}"
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    if(expect_success AND NOT result EQUAL 0)
        message(FATAL_ERROR "embedding failed unexpectedly: ${error}")
    elseif(NOT expect_success AND result EQUAL 0)
        message(FATAL_ERROR "embedding accepted a script it must refuse: ${input_text}")
    endif()
endfunction()

# Chinese text becomes GBK (c9be b3fd = "删除"), the host is filled in, the size excludes the NUL.
embed("\nprint('删除') -- http://@LAUNCHER_DOWNLOAD_HOST@/x\n" TRUE)
file(READ "${WORK}/out.c" generated)
if(NOT generated MATCHES "0xc9,0xbe,0xb3,0xfd,")
    message(FATAL_ERROR "Chinese text was not carried as GBK:\n${generated}")
endif()
string(HEX "example.test:81" host_hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," host_bytes "${host_hex}")
string(REPLACE "\n    " "" flat "${generated}")
string(FIND "${flat}" "${host_bytes}" host_at)
if(host_at EQUAL -1)
    message(FATAL_ERROR "download host was not substituted")
endif()
# 1 + 13 ("print('') -- ") + 4 (two GBK characters) + 7 ("http://") + 15 (host) + 3 ("/x\n")
if(NOT generated MATCHES "CarriedScriptSize = 43;")
    message(FATAL_ERROR "wrong size:\n${generated}")
endif()

# Refused: carriage returns, text GBK cannot represent, empty text.
embed("\nprint(1)\r\n" FALSE)
embed("\nprint('😀')\n" FALSE)
embed("" FALSE)
message(STATUS "embed script checks passed")
