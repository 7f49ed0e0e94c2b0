# The kit as installed (GNUInstallDirs) and packaged (CPack):
#
#   <libexecdir>/launcher/launcher            the launcher copied into bundles
#   <libexecdir>/launcher/launcher-window.so  its window module, found beside it
#   <bindir>/launcher-bundle                  the bundle tool
#   <mandir>/man1/launcher.1.gz, launcher-bundle.1.gz
#   <docdir>/README.md
#
# Two components: "core" (everything but the window module) and "window".
# The .deb packages are one per component: "launcher", whose Depends come
# from dpkg-shlibdeps and which only Recommends "launcher-window", since the
# launcher runs without it; and "launcher-window" with the X11 and FLTK
# libraries as its own Depends. The .tar.gz holds both.

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

set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME core)
install(TARGETS launcher RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/launcher COMPONENT core)
install(TARGETS launcher_bundle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT core)
install(TARGETS launcher_window LIBRARY DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/launcher COMPONENT window)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT core)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT core)

set(CPACK_PACKAGE_NAME launcher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "Launcher maintainers <launcher@localhost>")
endif()
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_COMPONENTS_ALL core window)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENT_CORE_DISPLAY_NAME "Launcher and bundle tool")
set(CPACK_COMPONENT_WINDOW_DISPLAY_NAME "Download window")
# First line: the package's synopsis.
set(CPACK_DEBIAN_CORE_DESCRIPTION "Launcher that starts a product installation, and its bundle tool
The launcher finds an install agent (a zip archive holding a shell script) in
its bundle or downloads it into a per-user cache, unpacks it and runs it.
launcher-bundle assembles and checks installer bundles around it.")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION "Download window for the launcher
The window module (X11, FLTK) that shows the splash picture and the progress
of a download; without it the launcher shows the download on the terminal.")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_CORE_PACKAGE_NAME launcher)
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME launcher-window)
# Programs the launcher and the tool run: unzip always, zip for an agent
# given as a directory.
set(CPACK_DEBIAN_CORE_PACKAGE_DEPENDS "unzip")
set(CPACK_DEBIAN_CORE_PACKAGE_RECOMMENDS "launcher-window (= ${PROJECT_VERSION}), zip")
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "launcher (= ${PROJECT_VERSION})")
include(CPack)
