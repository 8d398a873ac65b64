# Installation for a Linux desktop and the Debian package made from it.
#   cmake --install build --prefix ~/.local     the program, desktop entry, icons and metainfo
#   cd build && cpack -G DEB                    lumafon_<version>_<arch>.deb from the same rules
# Everything the program needs at run time is compiled in; the installed files are for the desktop.

include(GNUInstallDirs)

set(LUMAFON_APP_ID app.orvendal.Lumafon)
# The day the version in project() was released; change both together.
set(LUMAFON_RELEASE_DATE 2026-12-07)
set(LUMAFON_LICENSE "LicenseRef-proprietary" CACHE STRING "SPDX expression of the program's licence, for the metainfo")
set(LUMAFON_MAINTAINER "Orvendal" CACHE STRING "Maintainer field of the Debian package (Name <address>)")

install(TARGETS Lumafon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(desktop_entry ${CMAKE_BINARY_DIR}/desktop/${LUMAFON_APP_ID}.desktop)
add_custom_command(
    OUTPUT ${desktop_entry}
    COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${CMAKE_SOURCE_DIR}/resources/desktop/${LUMAFON_APP_ID}.desktop
            -DI18N_DIR=${CMAKE_SOURCE_DIR}/resources/i18n -DOUTPUT=${desktop_entry}
            -P ${CMAKE_SOURCE_DIR}/cmake/desktop_entry.cmake
    DEPENDS resources/desktop/${LUMAFON_APP_ID}.desktop cmake/desktop_entry.cmake ${I18N_FILES}
    COMMENT "Writing the desktop entry in every interface language")
add_custom_target(lumafon_desktop_entry ALL DEPENDS ${desktop_entry})
install(FILES ${desktop_entry} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(resources/desktop/${LUMAFON_APP_ID}.metainfo.xml.in
    ${CMAKE_BINARY_DIR}/desktop/${LUMAFON_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/desktop/${LUMAFON_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The icon theme's smaller sizes are scaled at build time from the one 128 px PNG.
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
add_executable(scale_icon scripts/scale_icon.cpp)
target_link_libraries(scale_icon PRIVATE PkgConfig::CAIRO lumafon_warnings)
set(icon_sizes 16 22 24 32 48 64)
set(icon_dir ${CMAKE_BINARY_DIR}/icons)
set(icon_files)
foreach(size ${icon_sizes})
    list(APPEND icon_files ${icon_dir}/${size}x${size}/apps/lumafon.png)
endforeach()
add_custom_command(
    OUTPUT ${icon_files}
    COMMAND scale_icon ${CMAKE_SOURCE_DIR}/resources/lumafon.png ${icon_dir} ${icon_sizes}
    DEPENDS scale_icon ${CMAKE_SOURCE_DIR}/resources/lumafon.png
    COMMENT "Scaling the program icon")
add_custom_target(lumafon_icons ALL DEPENDS ${icon_files})
install(DIRECTORY ${icon_dir}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES resources/lumafon.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)

# The Debian package: its dependencies are those of the shared libraries the program links,
# found by dpkg-shlibdeps (package dpkg-dev); the sound server and the desktop's URL opener are
# used at run time without being linked, so they are recommended.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumafon)
set(CPACK_PACKAGE_VENDOR Orvendal)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "equalizer for the whole system, with a live spectrum")
set(CPACK_PACKAGE_DESCRIPTION "Lumafon equalises all sound played on the computer and shows it as a music
visualizer. It adds a virtual output to the PulseAudio or PipeWire sound
server, makes it the default, moves the other programs onto it and plays the
sound through a 10-band equalizer to the chosen device; a watchdog gives the
sound back should the program die.")
set(CPACK_PACKAGE_CONTACT ${LUMAFON_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# A packager's builds at every optimisation level, the installation and the Debian package
# (tests/dist/). Not under the sanitizers: one run in the plain build is enough.
if(LUMAFON_TESTS)
    add_test(NAME dist_build_types COMMAND ${CMAKE_SOURCE_DIR}/tests/dist/build_types.sh
        ${CMAKE_SOURCE_DIR} ${LUMAFON_WERROR} ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER})
    add_test(NAME dist_install_package COMMAND ${CMAKE_SOURCE_DIR}/tests/dist/install_package.sh
        ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
    set_tests_properties(dist_build_types PROPERTIES LABELS "build;nosan" TIMEOUT 1500)
    set_tests_properties(dist_install_package PROPERTIES LABELS "package;nosan" TIMEOUT 600)
endif()
