# launcher_check_download_options(scheme digest digest_out): stops with a message naming the
# build option unless scheme is http or https and digest is empty or 64 hexadecimal digits; sets
# digest_out to the digest in lowercase, as the carried script compares it.
#
# CMakeLists.txt checks the options with it when configuring, EmbedScript.cmake again before it
# puts them into the script text, where anything else could end the Lua string they stand in.

function(launcher_check_download_options scheme digest digest_out)
    if(NOT scheme MATCHES "^(http|https)$")
        message(FATAL_ERROR
            "LAUNCHER_DOWNLOAD_SCHEME must be http or https, not \"${scheme}\"")
    endif()
    string(LENGTH "${digest}" digest_length)
    if(NOT digest STREQUAL "" AND NOT (digest MATCHES "^[0-9A-Fa-f]+$" AND digest_length EQUAL 64))
        message(FATAL_ERROR
            "LAUNCHER_PACKAGE_SHA256 must be the package's SHA-256 as 64 hexadecimal digits "
            "(as sha256sum prints it, without the file name), or empty for no check; "
            "got \"${digest}\" (${digest_length} characters)")
    endif()
    string(TOLOWER "${digest}" digest)
    set(${digest_out} "${digest}" PARENT_SCOPE)
endfunction()
