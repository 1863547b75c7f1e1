# What lets other projects find an installed libvornhash: a CMake package (find_package(vornhash)
# gives the target vornhash::vornhash) and a pkg-config file (pkg-config --cflags --libs vornhash).
include(CMakePackageConfigHelpers)

set(VORNHASH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vornhash)

install(EXPORT vornhashTargets NAMESPACE vornhash:: DESTINATION ${VORNHASH_CMAKE_DIR}
  COMPONENT vornhash_dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vornhashConfig.cmake.in
  ${CMAKE_BINARY_DIR}/vornhashConfig.cmake INSTALL_DESTINATION ${VORNHASH_CMAKE_DIR})
# The interface version is the SONAME: a caller built against 12 needs 12.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vornhashConfigVersion.cmake
  VERSION ${VORNHASH_INTERFACE_VERSION}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vornhashConfig.cmake ${CMAKE_BINARY_DIR}/vornhashConfigVersion.cmake
  DESTINATION ${VORNHASH_CMAKE_DIR} COMPONENT vornhash_dev)

# The prefix is found from the file's own place, so that an install under another --prefix works.
file(RELATIVE_PATH VORNHASH_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VORNHASH_PC_TO_PREFIX "${VORNHASH_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vornhash.pc.in ${CMAKE_BINARY_DIR}/vornhash.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vornhash.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT vornhash_dev)
