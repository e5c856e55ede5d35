# What gets installed besides the programs (desktop entry, icon, AppStream metadata, manual
# pages), and the Debian package of it all: `make package`.

set(MARLUNE_APP_ID io.github.marlune.Marlune)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/marlune.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/marlune.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${MARLUNE_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages carry the project's version and are installed compressed, as Debian wants them;
# -n keeps the time and name out of the archive, so the same page gives the same bytes.
find_program(MARLUNE_GZIP gzip REQUIRED)
set(manual_pages)
foreach(page marlune.1 marlune-device.1)
    set(configured ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page})
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${page} ${configured} @ONLY)
    add_custom_command(OUTPUT ${configured}.gz
        COMMAND ${MARLUNE_GZIP} -9nkf ${configured}
        DEPENDS ${configured}
        COMMENT "Compressing the manual page ${page}"
        VERBATIM)
    list(APPEND manual_pages ${configured}.gz)
endforeach()
install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Everything that `make install` and the package install, and nothing else: `make package`
# builds this, not the tests and benchmarks, which is why installing does not build `all`.
add_custom_target(marlune_packaged ALL DEPENDS ${manual_pages})
add_dependencies(marlune_packaged marlune)
if(TARGET marlune-device)
    add_dependencies(marlune_packaged marlune-device)
endif()
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(MARLUNE_PACKAGE_MAINTAINER "Marlune maintainers <maintainers@marlune.invalid>"
    CACHE STRING "The Maintainer field of the Debian package: Name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marlune)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${MARLUNE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send and receive whole files over an RS-232 serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "Marlune moves whole files over an RS-232 serial line between this computer
and a device attached to it, byte for byte: nothing is added to the bytes on
the line.

A window sends a file or stores everything that arrives, on COM1 or COM2 at
1200 to 115200 baud. The commands \"marlune send\" and \"marlune receive\" do
the same from scripts, without a display. marlune-device, a virtual device on
a pseudo-terminal, lets you try it without hardware.")
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window needs Qt's X11 platform plugin, which nothing links to, so dpkg-shlibdeps cannot
# see it. The captions are laid out for a face of Liberation Sans's widths.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-liberation)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The package's contents, checked by building one into a temporary folder.
add_test(NAME package_contents
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check-package.sh ${CMAKE_CPACK_COMMAND}
        ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
set_tests_properties(package_contents PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
