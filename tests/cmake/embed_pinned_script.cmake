# EmbedScript.cmake with the package's digest taken from the built package itself: the test builds
# pinned to the demo package, whose SHA-256 is known only once it has been packed.
#
# Run as: cmake -DPACKAGE=<zip> and EmbedScript.cmake's other -D values but PACKAGE_SHA256
#               -P embed_pinned_script.cmake
file(SHA256 "${PACKAGE}" PACKAGE_SHA256)
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/EmbedScript.cmake")
