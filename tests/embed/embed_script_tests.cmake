# Checks the build step that carries the script: UTF-8 bytes, the build's values filled in,
# refused inputs.
# Run as: cmake -DEMBED=<EmbedScript.cmake> -DWORK=<scratch folder> -P embed_script_tests.cmake

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# embed(text expect_success [scheme digest [refusal_pattern]]): scheme and digest default to http
# and none; the package URL is ${package_url}, the sizes ${package_size} and ${installed_size}
# (empty unless set), the install root ${install_root} (not given unless set). A refusal must
# leave no output
# behind and, when given, say what refusal_pattern says.
function(embed input_text expect_success)
    set(scheme http)
    set(digest "")
    if(ARGC GREATER 3)
        set(scheme "${ARGV2}")
        set(digest "${ARGV3}")
    endif()
    file(WRITE "${WORK}/in.lua" "${input_text}")
    file(REMOVE "${WORK}/out.c")
    set(root_argument)
    if(NOT "${install_root}" STREQUAL "")
        set(root_argument "-DINSTALL_ROOT=${install_root}")
    endif()
    execute_process(
        COMMAND "${CMAKE_COMMAND}" -DINPUT=${WORK}/in.lua -DOUTPUT=${WORK}/out.c
                -DDOWNLOAD_HOST=example.test:81 -DDOWNLOAD_SCHEME=${scheme}
                -DPACKAGE_SHA256=${digest} -DPACKAGE_URL=${package_url}
                -DPACKAGE_SIZE=${package_size} -DINSTALLED_SIZE=${installed_size} ${root_argument}
                -P "${EMBED}"
        RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    if(expect_success AND NOT result EQUAL 0)
        message(FATAL_ERROR "embedding failed unexpectedly: ${error}")
    elseif(NOT expect_success)
        if(result EQUAL 0)
            message(FATAL_ERROR "embedding accepted what it must refuse: ${input_text} ${scheme} ${digest}")
        endif()
        file(GLOB left "${WORK}/out.c*")
        if(left)
            message(FATAL_ERROR "a refused embedding left ${left}")
        endif()
        # CMake wraps a long message's lines: compare with every run of white space as one.
        string(REGEX REPLACE "[ \t\r\n]+" " " error "${error}")
        if(ARGC GREATER 4 AND NOT error MATCHES "${ARGV4}")
            message(FATAL_ERROR "the refusal does not say \"${ARGV4}\": ${error}")
        endif()
    endif()
endfunction()

# Chinese text stays UTF-8 (e588a0 e999a4 = "删除"), the host is filled in, the size excludes the
# NUL.
embed("\nprint('删除') -- http://@LAUNCHER_DOWNLOAD_HOST@/x\n" TRUE)
file(READ "${WORK}/out.c" generated)
string(REPLACE "\n    " "" flat "${generated}")
if(NOT flat MATCHES "0xe5,0x88,0xa0,0xe9,0x99,0xa4,")
    message(FATAL_ERROR "Chinese text was not carried as UTF-8:\n${generated}")
endif()
string(HEX "example.test:81" host_hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," host_bytes "${host_hex}")
string(FIND "${flat}" "${host_bytes}" host_at)
if(host_at EQUAL -1)
    message(FATAL_ERROR "download host was not substituted")
endif()
# 1 + 13 ("print('') -- ") + 6 (two UTF-8 characters) + 7 ("http://") + 15 (host) + 3 ("/x\n")
if(NOT generated MATCHES "CarriedScriptSize = 45;")
    message(FATAL_ERROR "wrong size:\n${generated}")
endif()

# The scheme and the digest, in lowercase, fill their placeholders; the text is carried whole.
set(digest "0123456789ABCDEFabcdef0123456789ABCDEFabcdef0123456789ABCDEF0123")
embed("\n@LAUNCHER_DOWNLOAD_SCHEME@://@LAUNCHER_DOWNLOAD_HOST@/x '@LAUNCHER_PACKAGE_SHA256@'\n"
      TRUE https "${digest}")
string(TOLOWER "${digest}" lowercase)
string(HEX "\nhttps://example.test:81/x '${lowercase}'\n" expected_hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," expected_bytes "${expected_hex}")
file(READ "${WORK}/out.c" generated)
string(REPLACE "\n    " "" flat "${generated}")
string(FIND "${flat}" "{${expected_bytes}0x00}" whole_at)
if(whole_at EQUAL -1 OR NOT generated MATCHES "CarriedScriptSize = 94;")
    message(FATAL_ERROR "scheme or digest not filled in as expected:\n${generated}")
endif()

# expect_carried(text): the whole carried text is text.
function(expect_carried expected_text)
    string(HEX "${expected_text}" expected_hex)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," expected_bytes "${expected_hex}")
    file(READ "${WORK}/out.c" generated)
    string(REPLACE "\n    " "" flat "${generated}")
    string(FIND "${flat}" "{${expected_bytes}0x00}" whole_at)
    if(whole_at EQUAL -1)
        message(FATAL_ERROR "expected the text \"${expected_text}\", carried:\n${generated}")
    endif()
endfunction()

# The package URL: by default the demo path on the download host; given, carried as it is.
embed("\nlocal url = \"@LAUNCHER_PACKAGE_URL@\"\n" TRUE https "")
expect_carried("\nlocal url = \"https://example.test:81/client/pc/2100/exe/windows_pc_halden_202505171539.zip\"\n")
set(package_url "https://cdn.example.com:8443/games/pc/v2%2B/studio_client-1.2.zip")
embed("\nlocal url = \"@LAUNCHER_PACKAGE_URL@\"\n" TRUE https "")
expect_carried("\nlocal url = \"${package_url}\"\n")
# Refused: a quote would end the Lua string; a query, a fragment, a folder URL or a file name of
# dots names no file to store the archive as; no other scheme.
foreach(package_url IN ITEMS "https://cdn.example.com/a\".zip" "https://cdn.example.com/a.zip?t=1"
                             "https://cdn.example.com/a.zip#x" "https://cdn.example.com/client/"
                             "https://cdn.example.com/.." "ftp://cdn.example.com/a.zip"
                             "https://cdn.example.com/a b.zip" "cdn.example.com/a.zip")
    embed("\nprint(1)\n" FALSE http "" "LAUNCHER_PACKAGE_URL must be the package's whole")
endforeach()
set(package_url "")

# The pinned sizes: digits as given, or nothing, so that the script's tonumber gives nil.
embed("\nlocal a, b = tonumber(\"@LAUNCHER_PACKAGE_SIZE@\"), tonumber(\"@LAUNCHER_INSTALLED_SIZE@\")\n" TRUE)
expect_carried("\nlocal a, b = tonumber(\"\"), tonumber(\"\")\n")
set(package_size 1234567)
set(installed_size 9007199254740991)
embed("\nlocal a, b = tonumber(\"@LAUNCHER_PACKAGE_SIZE@\"), tonumber(\"@LAUNCHER_INSTALLED_SIZE@\")\n" TRUE)
expect_carried("\nlocal a, b = tonumber(\"1234567\"), tonumber(\"9007199254740991\")\n")
# Refused: no bytes, a leading zero, a fraction, a unit, one past what a Lua number holds
# exactly, a quote that would end the string.
set(installed_size "")
foreach(package_size IN ITEMS 0 012 1.5 "12 MB" 9007199254740992 12345678901234567 "1\"")
    embed("\nprint(1)\n" FALSE http "" "LAUNCHER_PACKAGE_SIZE must be a size in bytes")
endforeach()
set(package_size "")
set(installed_size -1)
embed("\nprint(1)\n" FALSE http "" "LAUNCHER_INSTALLED_SIZE must be a size in bytes")
set(installed_size "")
# The install root: documents when none is given, the given one otherwise; anything else is refused
# (a quote would end the script's string).
embed("\nlocal root = UserFolder(\"@LAUNCHER_INSTALL_ROOT@\")\n" TRUE)
expect_carried("\nlocal root = UserFolder(\"documents\")\n")
set(install_root local-app-data)
embed("\nlocal root = UserFolder(\"@LAUNCHER_INSTALL_ROOT@\")\n" TRUE)
expect_carried("\nlocal root = UserFolder(\"local-app-data\")\n")
set(install_root "documents\")")
embed("\nprint(1)\n" FALSE http "" "LAUNCHER_INSTALL_ROOT must be documents or local-app-data")
set(install_root "")

# Refused, as the configure refuses them: another scheme, a digest one digit short, 64
# characters that are not all hex digits (a quote would end the script's string).
embed("\nprint(1)\n" FALSE ftp "" "LAUNCHER_DOWNLOAD_SCHEME must be http or https")
string(SUBSTRING "${lowercase}" 1 63 short)
embed("\nprint(1)\n" FALSE http "${short}" "LAUNCHER_PACKAGE_SHA256 must be the package's SHA-256")
embed("\nprint(1)\n" FALSE http "${short}\"" "LAUNCHER_PACKAGE_SHA256 must be")

# Carried: characters outside every Chinese code page. Refused: carriage returns, bytes that are
# not UTF-8, empty text.
embed("\nprint('😀 한국어')\n" TRUE)
expect_carried("\nprint('😀 한국어')\n")
embed("\nprint(1)\r\n" FALSE)
# "中" in GBK.
string(ASCII 214 208 gbk_bytes)
embed("\nprint('${gbk_bytes}')\n" FALSE http "" "UTF-8 text")
embed("" FALSE)
message(STATUS "embed script checks passed")
