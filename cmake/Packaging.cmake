# cmake --install: both programs, the desktop entry and the icon.
# cpack -G DEB: a package that depends on the Debian runtime packages the
# programs link against (found by dpkg-shlibdeps).
include(GNUInstallDirs)

install(TARGETS meter-console meter-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/dist/meter-console.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/dist/meter-console.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_PACKAGE_NAME meter-console)
set(CPACK_PACKAGE_VENDOR "Meter console developers")
set(CPACK_PACKAGE_VERSION "1.0.0")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Commissioning console for water meters (DL/T 645) over serial lines and TCP gateways")
set(CPACK_PACKAGE_CONTACT "meter-console maintainers <meter-console@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's Chinese texts need a CJK font.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_STRIP_FILES ON)
include(CPack)
