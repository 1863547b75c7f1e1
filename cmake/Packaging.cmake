# Debian packages from the install rules (cpack -G DEB, or scripts/package.sh):
#   tarvotcpc            the program, its menu entry, icons, metainfo, manual page and documentation
#   libvornhash<N>       the shared library (N: its interface version, the SONAME) and the CSV
#                        library it loads
#   libvornhash-dev      header files, CMake package, pkg-config file, the unversioned .so links
# Library dependencies are computed by dpkg-shlibdeps; what the program loads by name is added.
include(${CMAKE_CURRENT_LIST_DIR}/ReleaseInfo.cmake)

set(TARVO_DEB_PACKAGES tarvotcpc libvornhash${VORNHASH_INTERFACE_VERSION} libvornhash-dev)
set(TARVO_DEB_COMPONENTS tarvotcpc vornhash_runtime vornhash_dev)

# Every package carries its copyright file and, being native, its changelog.gz.
set(TARVO_DEB_DIR ${CMAKE_BINARY_DIR}/deb)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/copyright.in ${TARVO_DEB_DIR}/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${TARVO_DEB_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${TARVO_DEB_DIR}/changelog.gz
  COMMAND sh -c "gzip -9nc changelog > changelog.gz"
  WORKING_DIRECTORY ${TARVO_DEB_DIR} DEPENDS ${TARVO_DEB_DIR}/changelog VERBATIM)
add_custom_target(tarvo_deb_files ALL DEPENDS ${TARVO_DEB_DIR}/changelog.gz)
foreach(package component IN ZIP_LISTS TARVO_DEB_PACKAGES TARVO_DEB_COMPONENTS)
  install(FILES ${TARVO_DEB_DIR}/copyright ${TARVO_DEB_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TARVO_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TARVO_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${TARVO_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg-shlibdeps finds our own library in the build tree; the component dependency below names its
# package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

set(CPACK_DEBIAN_TARVOTCPC_PACKAGE_NAME tarvotcpc)
set(CPACK_DEBIAN_TARVOTCPC_PACKAGE_SECTION net)
# Loaded by name, so no library dependency shows them: the Japanese font of every text, and Qt's
# own translations of its dialogs.
set(CPACK_DEBIAN_TARVOTCPC_PACKAGE_DEPENDS "fonts-noto-cjk, qt6-translations-l10n")
set(CPACK_COMPONENT_TARVOTCPC_DEPENDS vornhash_runtime)
set(CPACK_COMPONENT_TARVOTCPC_DESCRIPTION
  "TCP/IP client for trying out text protocols by hand
tarvotcpc connects to a host and port, sends a page of text that is typed,
loaded from a file or inserted from stored templates, and shows whatever the
peer returns, exact to the byte. Recent destinations are kept in a history,
and a destination can be given on the command line.

Its windows and messages are in Japanese.")

set(CPACK_DEBIAN_VORNHASH_RUNTIME_PACKAGE_NAME libvornhash${VORNHASH_INTERFACE_VERSION})
set(CPACK_DEBIAN_VORNHASH_RUNTIME_PACKAGE_SECTION libs)
# The dynamic linker's cache is refreshed by dpkg's trigger (CPack's postinst calls ldconfig too).
set(CPACK_DEBIAN_VORNHASH_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)
set(CPACK_COMPONENT_VORNHASH_RUNTIME_DESCRIPTION
  "insertion-ordered associative arrays of byte buffers (library)
vornhash keeps byte buffers under text keys in insertion order, and converts
them to and from key=value blocks, line lists, HTTP header blocks, URL query
strings and CSV. It also offers URL coding, %key% expansion, string utilities
and nucleotide-sequence functions.

This package holds the shared library and the CSV library it loads.")

set(CPACK_DEBIAN_VORNHASH_DEV_PACKAGE_NAME libvornhash-dev)
set(CPACK_DEBIAN_VORNHASH_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_VORNHASH_DEV_DEPENDS vornhash_runtime)
set(CPACK_COMPONENT_VORNHASH_DEV_DESCRIPTION
  "insertion-ordered associative arrays of byte buffers (development files)
vornhash keeps byte buffers under text keys in insertion order, and converts
them to and from key=value blocks, line lists, HTTP header blocks, URL query
strings and CSV.

This package holds the C header files, the CMake package
(find_package(vornhash)) and the pkg-config file needed to build programs that
use the library.")

include(CPack)
