# Installing the updater like any desktop program, and the Debian packages made from it.
#
#   cmake --install build                           the updater (window and terminal), its menu
#                                                   entry, icons and manual page
#   cmake --install build --component devtools      the simulated device and the update file writer
#   cd build && cpack -G DEB                        corvane-uploader_<version>_<arch>.deb and
#                                                   corvane-uploader-devtools_<version>_<arch>.deb
#
# Two components, so that musicians install the updater alone and developers add the tools:
#   uploader   bin/corvane-uploader, share/applications/corvane-uploader.desktop,
#              share/icons/hicolor/NxN/apps/corvane-uploader.png (drawn by tools/logo/make_icon.py),
#              share/metainfo/com.corvane.uploader.metainfo.xml (AppStream: software centres),
#              bin/corvane-upload (the updater from a terminal, no display needed) and its manual
#              page share/man/man1/corvane-upload.1.gz
#   devtools   bin/corvane-device-sim, bin/corvane-make-update; left out of a plain install
include(GNUInstallDirs)

set(CORVANE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

install(TARGETS corvane-uploader corvane-upload
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT uploader)
# The manual page compressed as Debian's are: -n leaves out the name and time stamp, so the same
# page always gives the same bytes.
set(CORVANE_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/corvane-upload.1.gz)
add_custom_command(OUTPUT ${CORVANE_MAN_PAGE}
                   COMMAND gzip -9n -c ${CORVANE_PACKAGING_DIR}/corvane-upload.1 > ${CORVANE_MAN_PAGE}
                   DEPENDS ${CORVANE_PACKAGING_DIR}/corvane-upload.1 VERBATIM)
add_custom_target(corvane-upload-man ALL DEPENDS ${CORVANE_MAN_PAGE})
install(FILES ${CORVANE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT uploader)
# The schema of corvane-upload --json, which the manual page names: what scripts may rely on.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/corvane-upload.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvane-uploader COMPONENT uploader)
install(FILES ${CORVANE_PACKAGING_DIR}/corvane-uploader.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT uploader)
# The AppStream metadata names the project's web address, under which the screenshots lie.
set(CORVANE_PROJECT_URL "https://corvane.invalid/uploader"
    CACHE STRING "Home page of the project; the metainfo's screenshots are under its docs/images")
configure_file(${CORVANE_PACKAGING_DIR}/com.corvane.uploader.metainfo.xml.in
               ${CMAKE_CURRENT_BINARY_DIR}/com.corvane.uploader.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/com.corvane.uploader.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT uploader)
foreach(size 16 32 48 64 128 256)
    install(FILES ${CORVANE_PACKAGING_DIR}/icons/hicolor/${size}x${size}/apps/corvane-uploader.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT uploader)
endforeach()

install(TARGETS corvane-device-sim corvane-make-update
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT devtools EXCLUDE_FROM_ALL)

# --- CPack: Debian packages, one per component
set(CPACK_PACKAGE_NAME corvane-uploader)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY corvane-uploader)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL uploader devtools)

set(CORVANE_PACKAGE_MAINTAINER "Corvane Uploader developers <uploader@corvane.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the binaries link (libqt5widgets5 or libqt6widgets6,
# librtmidi6, ...), by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_UPLOADER_PACKAGE_NAME corvane-uploader)
set(CPACK_COMPONENT_UPLOADER_DISPLAY_NAME "Corvane Uploader")
# The first line of a description is the package's summary.
set(CPACK_DEBIAN_UPLOADER_DESCRIPTION "Firmware updater for Corvane MIDI instruments
Corvane Uploader sends a firmware update file (.cvn) to a Corvane instrument
over MIDI, one System Exclusive message at a time, waits for the instrument's
answer after each, asks before replacing the installed firmware version and
shows the progress. It works with the ALSA sequencer or a JACK server.
corvane-upload does the same from a terminal or a script, without a display.")

set(CPACK_DEBIAN_DEVTOOLS_PACKAGE_NAME corvane-uploader-devtools)
set(CPACK_DEBIAN_DEVTOOLS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_DEVTOOLS_DISPLAY_NAME "Corvane Uploader developer tools")
set(CPACK_DEBIAN_DEVTOOLS_DESCRIPTION "Simulated Corvane instrument and update file writer
corvane-device-sim is a stand-in Corvane instrument on virtual MIDI ports: it
answers the updater, records what it receives and can inject faults.
corvane-make-update writes update files for it. Together they let the updater
be tried, tested and demonstrated without hardware.")

include(CPack)
