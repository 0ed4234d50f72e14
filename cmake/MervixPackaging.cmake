# The Debian package: `make package` runs `cpack -G DEB` in the build folder
# and gets mervix_<version>_<arch>.deb with everything `cmake --install`
# installs, under /usr. Its dependencies are computed by dpkg-shlibdeps from
# the programs; binaries are stripped (the build keeps its debug symbols).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mervix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The mervix developers")
set(CPACK_PACKAGE_CONTACT "${MERVIX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware download into network devices over TCP")
set(CPACK_PACKAGE_DESCRIPTION
    "mervix writes new firmware, or an additional user module, into the flash\n"
    "memory of a network device over TCP: a ready binary image, or a Motorola\n"
    "S-record file converted into an image from a hexadecimal base address and\n"
    "optionally compressed with the LHA lh5 method. The window speaks English or\n"
    "Japanese.\n"
    ".\n"
    "The package brings the window (mervix), the command line (mervix-cli) for\n"
    "scripts and fleets, and a simulated device (mervix-devsim) for trying\n"
    "mervix and for test benches.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MERVIX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${MERVIX_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

include(CPack)
