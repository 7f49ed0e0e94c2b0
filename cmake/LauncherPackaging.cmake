# The kit as installed (GNUInstallDirs) and packaged (CPack):
#
#   <libexecdir>/launcher/launcher            the launcher copied into bundles
#   <libexecdir>/launcher/launcher-window.so  its window module, found beside it
#   <bindir>/launcher-bundle                  the bundle tool
#   <mandir>/man1/launcher.1.gz, launcher-bundle.1.gz
#   <datarootdir>/doc/<package>/              README.md (main package only),
#                                             copyright, changelog
#   <datarootdir>/lintian/overrides/<name>    what lintian is told to accept
#
# Two components: "core" (everything but the window module) and "window".
# The .deb packages are one per component, named by LAUNCHER_PACKAGE_NAME
# (cmake/LauncherPackageIdentity.cmake): <name>, whose Depends come from
# dpkg-shlibdeps and which only Recommends <name>-window, since the launcher
# runs without it; and <name>-window with the X11 and FLTK libraries as its
# own Depends. The .tar.gz holds both. Packaged binaries are stripped; the
# build tree keeps its symbols.
#
# The launcher's man page stays in section 1 although the launcher is not on
# PATH: it documents a user command, the executable of every bundle, which
# users start from the bundle (and vendors read about with "man launcher").
# The package tells lintian so (cmake/debian/lintian-overrides).

include(LauncherDebianDocs)

# Man pages carry this build's values (cache path, URL), compressed as
# Debian keeps them.
set(man_pages "")
foreach(page launcher launcher-bundle)
  configure_file(docs/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
    COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/man/${page}.1 > ${CMAKE_BINARY_DIR}/man/${page}.1.gz
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1
    VERBATIM)
  list(APPEND man_pages ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})

# _launcher_install_binary(<target> <destination> <component>): installs the
# target; a stripped install (cmake --install --strip, and CPack, see
# CPACK_STRIP_FILES) also drops the sections Debian's dh_strip drops besides
# the symbols (.comment, .note), which CMake's own strip keeps.
function(_launcher_install_binary target destination component)
  install(TARGETS ${target} RUNTIME DESTINATION ${destination} COMPONENT ${component}
                            LIBRARY DESTINATION ${destination} COMPONENT ${component})
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>\"
    COMMAND_ERROR_IS_FATAL ANY)
endif()" COMPONENT ${component})
endfunction()

set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME core)
_launcher_install_binary(launcher ${CMAKE_INSTALL_LIBEXECDIR}/launcher core)
_launcher_install_binary(launcher_bundle ${CMAKE_INSTALL_BINDIR} core)
_launcher_install_binary(launcher_window ${CMAKE_INSTALL_LIBEXECDIR}/launcher window)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT core)
# Debian looks for a package's documents under the package's own name.
set(debian_docs ${LAUNCHER_DEBIAN_COPYRIGHT} ${LAUNCHER_DEBIAN_CHANGELOG})
install(FILES README.md ${debian_docs}
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${LAUNCHER_PACKAGE_NAME} COMPONENT core)
install(FILES ${debian_docs}
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${LAUNCHER_WINDOW_PACKAGE_NAME} COMPONENT window)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${LAUNCHER_PACKAGE_NAME} COMPONENT core)

set(CPACK_PACKAGE_NAME ${LAUNCHER_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${LAUNCHER_EFFECTIVE_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${LAUNCHER_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_COMPONENTS_ALL core window)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENT_CORE_DISPLAY_NAME "Launcher and bundle tool")
set(CPACK_COMPONENT_WINDOW_DISPLAY_NAME "Download window")
# First line: the package's synopsis.
set(CPACK_DEBIAN_CORE_DESCRIPTION "${LAUNCHER_PACKAGE_DESCRIPTION}
The launcher is the executable of an installer bundle: it finds an install
agent (a zip archive holding a shell script) in its bundle or downloads it
into a per-user cache, unpacks it and runs it. The bundle tool,
launcher-bundle, assembles and checks installer bundles around it.")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION "download window for the installer bootstrapper
The window module (X11, FLTK) that shows the splash picture and the progress
of the launcher's download; without it the launcher shows the download on
the terminal.")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_CORE_PACKAGE_NAME ${LAUNCHER_PACKAGE_NAME})
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME ${LAUNCHER_WINDOW_PACKAGE_NAME})
# Both are built from one source, which the changelog names.
set(CPACK_DEBIAN_WINDOW_PACKAGE_SOURCE ${LAUNCHER_PACKAGE_NAME})
# Programs the launcher and the tool run: unzip always, zip for an agent
# given as a directory, makeself for a bundle wrapped into one
# self-extracting file (the tool's, never the launcher's: the file it makes
# needs nothing on the user's machine but sh, tar, gzip and coreutils).
set(CPACK_DEBIAN_CORE_PACKAGE_DEPENDS "unzip")
set(CPACK_DEBIAN_CORE_PACKAGE_RECOMMENDS
  "${LAUNCHER_WINDOW_PACKAGE_NAME} (= ${LAUNCHER_EFFECTIVE_PACKAGE_VERSION}), zip, makeself")
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "${LAUNCHER_PACKAGE_NAME} (= ${LAUNCHER_EFFECTIVE_PACKAGE_VERSION})")
include(CPack)
