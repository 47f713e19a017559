# What a Linux desktop installs besides the programs: the menu entry and its
# icon, the start at login, the manual pages; and the Debian package made from
# all of it with `cpack -G DEB` in the build folder.
#
# The programs install themselves where they belong (their own CMakeLists):
# VexlorApp, vexlor-options, vexlor-gs and vexlor-engraver in bin, the backend
# in lib/cups/backend, the PPD in share/ppd/vexlor, where CUPS lists it among
# its drivers.

set(VEXLOR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

install(FILES ${VEXLOR_PACKAGING_DIR}/vexlorapp.desktop DESTINATION share/applications)
install(FILES ${VEXLOR_PACKAGING_DIR}/icons/vexlorapp.svg DESTINATION share/icons/hicolor/scalable/apps)
foreach(size 48 128 256)
    install(FILES ${VEXLOR_PACKAGING_DIR}/icons/vexlorapp-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME vexlorapp.png)
endforeach()
# The start at login is the system's for every user; each user can turn it off.
install(FILES ${VEXLOR_PACKAGING_DIR}/vexlorapp-autostart.desktop
        DESTINATION /etc/xdg/autostart RENAME vexlorapp.desktop)

# The README and the guides it links to, side by side as in the source tree.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/vexlor)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/vexlor/docs FILES_MATCHING PATTERN "*.md")

# Manual pages, with the version filled in and compressed as Debian keeps them.
find_program(VEXLOR_GZIP gzip REQUIRED)
set(man_pages VexlorApp.1 vexlor-options.1 vexlor-gs.1 vexlor-engraver.1 vexlor.8)
set(man_outputs)
foreach(page IN LISTS man_pages)
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    set(VERSION ${PROJECT_VERSION})
    configure_file(${VEXLOR_PACKAGING_DIR}/man/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
        COMMAND ${VEXLOR_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
        DEPENDS ${PROJECT_BINARY_DIR}/man/${page}
        COMMENT "Compressing the manual page ${page}")
    list(APPEND man_outputs ${PROJECT_BINARY_DIR}/man/${page}.gz)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION share/man/man${section})
endforeach()
add_custom_target(vexlor-manpages ALL DEPENDS ${man_outputs})

# The Debian package.
set(CPACK_PACKAGE_NAME vexlor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vexlor")
set(CPACK_PACKAGE_CONTACT "Vexlor maintainers <vexlor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Laser engraver driver: print queue, job preview and sender")
set(CPACK_PACKAGE_DESCRIPTION
    "VexlorApp receives the jobs printed to the engraver queue, shows each one on the\n\
engraver's 40 x 28 inch table, dithers its raster parts and sends it to the\n\
engraver over LPD. The package holds VexlorApp with its menu entry and start\n\
at login, the CUPS backend and PPD of the engraver queue, vexlor-options to\n\
choose the engraving options of the queue, vexlor-gs (Ghostscript with the\n\
engraver device) and vexlor-engraver, a virtual engraver for trying it all\n\
without the machine.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt, CUPS and colour libraries the programs link come from dpkg-shlibdeps;
# the programs they run are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "cups, cups-client, cups-filters, ghostscript, poppler-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "desktop-file-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
configure_file(${VEXLOR_PACKAGING_DIR}/debian/conffiles ${PROJECT_BINARY_DIR}/packaging/conffiles COPYONLY)
configure_file(${VEXLOR_PACKAGING_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/packaging/postinst COPYONLY)
configure_file(${VEXLOR_PACKAGING_DIR}/debian/postrm ${PROJECT_BINARY_DIR}/packaging/postrm COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/conffiles
    ${PROJECT_BINARY_DIR}/packaging/postinst
    ${PROJECT_BINARY_DIR}/packaging/postrm)
# Only what a user needs: no test, benchmark or static library goes in.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
include(CPack)
