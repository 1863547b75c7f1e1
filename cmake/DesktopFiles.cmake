# What a desktop expects of an installed program: the menu entry, the icon in the hicolor theme
# (the scalable original, plus bitmaps rendered at build time when rsvg-convert is there), the
# software centre's metainfo and the manual page. Included from client/ui; all of it belongs to the
# tarvotcpc package.
include(${CMAKE_CURRENT_LIST_DIR}/ReleaseInfo.cmake)

set(TARVOTCPC_DESKTOP_DIR ${CMAKE_BINARY_DIR}/desktop)
set(TARVOTCPC_DESKTOP_OUTPUTS)

install(FILES ${TARVOTCPC_RES_DIR}/tarvotcpc.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT tarvotcpc)
install(FILES ${TARVOTCPC_RES_DIR}/tarvotcpc.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT tarvotcpc)

find_program(RSVG_CONVERT rsvg-convert)
if(RSVG_CONVERT)
  foreach(size 16 24 32 48 64 128 256)
    set(png ${TARVOTCPC_DESKTOP_DIR}/icons/${size}x${size}/tarvotcpc.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TARVOTCPC_DESKTOP_DIR}/icons/${size}x${size}
      COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${TARVOTCPC_RES_DIR}/tarvotcpc.svg
      DEPENDS ${TARVOTCPC_RES_DIR}/tarvotcpc.svg VERBATIM)
    list(APPEND TARVOTCPC_DESKTOP_OUTPUTS ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      COMPONENT tarvotcpc)
  endforeach()
else()
  message(STATUS "rsvg-convert not found: only the scalable icon is installed")
endif()

configure_file(${TARVOTCPC_RES_DIR}/tarvotcpc.metainfo.xml.in
  ${TARVOTCPC_DESKTOP_DIR}/${TARVOTCPC_APP_ID}.metainfo.xml @ONLY)
install(FILES ${TARVOTCPC_DESKTOP_DIR}/${TARVOTCPC_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT tarvotcpc)

# Manual pages are installed compressed, and without a time stamp so that builds are reproducible.
configure_file(${TARVOTCPC_RES_DIR}/tarvotcpc.1.in ${TARVOTCPC_DESKTOP_DIR}/tarvotcpc.1 @ONLY)
add_custom_command(OUTPUT ${TARVOTCPC_DESKTOP_DIR}/tarvotcpc.1.gz
  COMMAND sh -c "gzip -9nc tarvotcpc.1 > tarvotcpc.1.gz"
  WORKING_DIRECTORY ${TARVOTCPC_DESKTOP_DIR}
  DEPENDS ${TARVOTCPC_DESKTOP_DIR}/tarvotcpc.1 VERBATIM)
list(APPEND TARVOTCPC_DESKTOP_OUTPUTS ${TARVOTCPC_DESKTOP_DIR}/tarvotcpc.1.gz)
install(FILES ${TARVOTCPC_DESKTOP_DIR}/tarvotcpc.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tarvotcpc)

add_custom_target(tarvotcpc_desktop_files ALL DEPENDS ${TARVOTCPC_DESKTOP_OUTPUTS})
