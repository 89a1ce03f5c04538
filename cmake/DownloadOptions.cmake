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

# launcher_check_size(option value): stops with a message naming option unless value is empty or
# a positive whole number of bytes (decimal digits, no leading zero, below 2^53 so that the
# script's numbers hold it exactly).
function(launcher_check_size option value)
    if(value STREQUAL "")
        return()
    endif()
    string(LENGTH "${value}" digits)
    if(NOT value MATCHES "^[1-9][0-9]*$" OR digits GREATER 16
       OR (digits EQUAL 16 AND value STRGREATER_EQUAL "9007199254740992"))
        message(FATAL_ERROR
            "${option} must be a size in bytes, a whole number from 1 to 9007199254740991 "
            "without separators or unit, or empty when it is not known; got \"${value}\"")
    endif()
endfunction()

# Where the package lies on the download host when LAUNCHER_PACKAGE_URL is empty.
set(LAUNCHER_DEFAULT_PACKAGE_PATH "/client/pc/2100/exe/windows_pc_halden_202505171539.zip")

# launcher_check_package_url(url): stops with a message naming LAUNCHER_PACKAGE_URL unless url is
# empty or a whole http:// or https:// URL without query or fragment whose last segment names the
# archive. The carried script stores the download under that name, so it must be a plain file
# name on every system; and the URL goes into a Lua string and a build command, so it holds no
# quote, backslash, space, semicolon or control character.
function(launcher_check_package_url url)
    if(url STREQUAL "")
        return()
    endif()
    set(host "([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?")
    set(segment "[A-Za-z0-9._~%+,=:-]+")
    set(file_name "[A-Za-z0-9._~-]*[A-Za-z0-9_~-][A-Za-z0-9._~-]*")
    if(NOT url MATCHES "^https?://${host}(/${segment})*/${file_name}$")
        message(FATAL_ERROR
            "LAUNCHER_PACKAGE_URL must be the package's whole http:// or https:// URL, without "
            "a query or fragment, ending in the archive's file name (letters, digits, '.', '_', "
            "'-' and '~'), e.g. https://cdn.example.com/client/pc/2100/exe/"
            "windows_pc_halden_202505171539.zip; got \"${url}\"")
    endif()
endfunction()

# launcher_package_url(url scheme host url_out): the URL the carried script downloads from: url,
# or the default path on scheme://host when url is empty.
function(launcher_package_url url scheme host url_out)
    if(url STREQUAL "")
        set(url "${scheme}://${host}${LAUNCHER_DEFAULT_PACKAGE_PATH}")
    endif()
    set(${url_out} "${url}" PARENT_SCOPE)
endfunction()

# launcher_check_install_root(root): stops with a message naming LAUNCHER_INSTALL_ROOT unless root
# is documents (the user's Documents folder) or local-app-data (the user's local application data,
# which OneDrive never syncs and Controlled Folder Access never guards).
function(launcher_check_install_root root)
    if(NOT root MATCHES "^(documents|local-app-data)$")
        message(FATAL_ERROR
            "LAUNCHER_INSTALL_ROOT must be documents or local-app-data, not \"${root}\"")
    endif()
endfunction()
