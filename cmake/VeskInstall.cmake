# What `cmake --install` lays out under the prefix, and the .deb that CPack makes of it.
#   bin/                                vesk-ftpuploader, vesk-ctl, vesk-photo-service
#   libexec/vesk-ftpuploader/           vesk-relaunch, revealInFinder.sh (every vesk_install_libexec)
#   share/applications/                 the desktop entry (folders open with the application)
#   share/icons/hicolor/*/apps/         the icon: SVG, and PNG sizes when rsvg-convert is there
#   share/man/man1/                     the manual pages, compressed
#   share/doc/vesk-ftpuploader/         the README and its screenshots
#   lib/systemd/user/                   the user unit that runs the program headless
# Included before the sources: their CMakeLists call the two functions below.
include(GNUInstallDirs)
set(VESK_INSTALL_BINDIR bin)
# src/app/Paths.cpp looks for the auxiliary programs in ../libexec/vesk-ftpuploader seen from the
# executable's folder: the two destinations go together.
set(VESK_INSTALL_LIBEXECDIR libexec/vesk-ftpuploader)
set(VESK_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/vesk-ftpuploader)

# vesk_install_program(target): a program for users, installed in bin/.
function(vesk_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${VESK_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY VESK_BIN_PROGRAMS ${target})
endfunction()

# vesk_install_libexec(target-or-file): an auxiliary program that the application runs and finds
# through paths::auxiliaryExecutable. A target is built into bin/ of the build tree, beside the
# application, where the lookup finds it before installation; a file (a script) is given by its
# path in the build tree. Installed in libexec/vesk-ftpuploader/.
function(vesk_install_libexec program)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    install(TARGETS ${program} RUNTIME DESTINATION ${VESK_INSTALL_LIBEXECDIR})
    set(name ${program})
  else()
    install(PROGRAMS ${program} DESTINATION ${VESK_INSTALL_LIBEXECDIR})
    cmake_path(GET program FILENAME name)
  endif()
  set_property(GLOBAL APPEND PROPERTY VESK_LIBEXEC_PROGRAMS ${name})
endfunction()

install(FILES ${CMAKE_SOURCE_DIR}/resources/linux/vesk-ftpuploader.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# The icon. Qt finds PNG sizes without an SVG plugin, so they are rendered when the tool is there.
set(VESK_ICON_SVG ${CMAKE_SOURCE_DIR}/resources/icons/vesk-ftpuploader.svg)
install(FILES ${VESK_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
set(VESK_DESKTOP_OUTPUTS)
find_program(VESK_RSVG_CONVERT rsvg-convert)
if(VESK_RSVG_CONVERT)
  foreach(size 16 22 24 32 48 64 128 256)
    set(folder ${CMAKE_BINARY_DIR}/share/icons/hicolor/${size}x${size}/apps)
    add_custom_command(OUTPUT ${folder}/vesk-ftpuploader.png
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND ${VESK_RSVG_CONVERT} --width ${size} --height ${size} --output ${folder}/vesk-ftpuploader.png
              ${VESK_ICON_SVG}
      DEPENDS ${VESK_ICON_SVG}
      COMMENT "Rendering the ${size}x${size} icon"
      VERBATIM)
    list(APPEND VESK_DESKTOP_OUTPUTS ${folder}/vesk-ftpuploader.png)
    install(FILES ${folder}/vesk-ftpuploader.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(STATUS "rsvg-convert not found: the icon is installed as SVG only")
endif()

# Manual pages, compressed as Debian ships them (-n: no name or time stamp, so the build repeats).
find_program(VESK_GZIP gzip REQUIRED)
foreach(page vesk-ftpuploader.1 vesk-ctl.1 vesk-photo-service.1)
  set(source ${CMAKE_SOURCE_DIR}/docs/man/${page})
  set(output ${CMAKE_BINARY_DIR}/share/man/man1/${page}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/share/man/man1
    COMMAND ${VESK_GZIP} -9 -n -c ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing the manual page ${page}")
  list(APPEND VESK_DESKTOP_OUTPUTS ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
# Debian's changelog of the package, compressed the same way.
set(VESK_CHANGELOG ${CMAKE_BINARY_DIR}/share/doc/changelog.Debian)
configure_file(${CMAKE_SOURCE_DIR}/resources/linux/changelog.Debian.in ${VESK_CHANGELOG} @ONLY)
add_custom_command(OUTPUT ${VESK_CHANGELOG}.gz
  COMMAND ${VESK_GZIP} -9 -n -c ${VESK_CHANGELOG} > ${VESK_CHANGELOG}.gz
  DEPENDS ${VESK_CHANGELOG}
  COMMENT "Compressing the package's changelog")
list(APPEND VESK_DESKTOP_OUTPUTS ${VESK_CHANGELOG}.gz)
add_custom_target(vesk-install-files ALL DEPENDS ${VESK_DESKTOP_OUTPUTS})

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/resources/linux/copyright ${VESK_CHANGELOG}.gz
        DESTINATION ${VESK_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/main-window.png ${CMAKE_SOURCE_DIR}/docs/preferences.png
        ${CMAKE_SOURCE_DIR}/docs/tray-menu.png ${CMAKE_SOURCE_DIR}/docs/notification-kept.png DESTINATION ${VESK_INSTALL_DOCDIR}/docs)
install(FILES ${CMAKE_SOURCE_DIR}/docs/monitoring/README.md ${CMAKE_SOURCE_DIR}/docs/monitoring/vesk.rules.yml
        DESTINATION ${VESK_INSTALL_DOCDIR}/docs/monitoring)

# The user unit names the executable by its full path, which is known only when installing: the
# prefix of `cmake --install --prefix` or CPack's /usr, not the one the build was configured with.
set(VESK_UNIT_TEMPLATE ${CMAKE_SOURCE_DIR}/resources/linux/vesk-ftpuploader.service.in)
install(CODE "
  set(VESK_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${VESK_INSTALL_BINDIR}\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user/vesk-ftpuploader.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${VESK_UNIT_TEMPLATE}\" \"\${unit}\" @ONLY NO_SOURCE_PERMISSIONS)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
")

# The Debian package: everything above under /usr. dpkg-shlibdeps works out the libraries' packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vesk-ftpuploader)
set(CPACK_PACKAGE_VENDOR "Vesk Photos")
set(CPACK_PACKAGE_CONTACT "Vesk-FTPUploader developers <support@vesk-photos.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended hot-folder uploader for event pictures")
# The extended description under the summary: CPack indents its lines and marks the empty one.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Pictures copied into sub-folders of a source folder are sent, one at a time,
to a photo-sharing service as a multipart HTTP POST with their metadata; each
picture then moves into a mirror folder, or into the problem folder when the
service rejects it. It runs with windows on the desktop or headless, for
example as a systemd user service, and is controlled with vesk-ctl.

The package also holds vesk-photo-service, a stand-in photo-sharing service
on the loopback interface for trying the uploader out.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# xdg-open shows the folders in the file manager; without it only that button does nothing.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
